// The static scanner of korva.utils.safeload: one pass over a pickle's opcodes that lists the
// globals it names (with how each is used) and the opcodes it refuses, without the interpreter.
// STACK_GLOBAL takes its module and name from the stack, so the scanner keeps a light copy of the
// stack and memo: string constants, globals and the objects made from them, nothing else.
#include "korva/utils/safeload/safeload.hpp"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

namespace korva::utils::safeload {

namespace {

struct Item {
    enum Kind : uint8_t { other, text, global, made } kind = other;
    uint32_t ref = 0;  // text: index into the string table; global, made: index into the globals
};

// The opcodes that never get past the scanner: code by name through the extension registry, the
// protocol-0 class calls, persistent ids (nothing to resolve them) and out-of-band buffers (none
// are supplied).
const char* refused_name(unsigned char op) {
    switch (op) {
        case 0x82: return "EXT1";
        case 0x83: return "EXT2";
        case 0x84: return "EXT4";
        case 'i': return "INST";
        case 'o': return "OBJ";
        case 'P': return "PERSID";
        case 'Q': return "BINPERSID";
        case 0x97: return "NEXT_BUFFER";
        case 0x98: return "READONLY_BUFFER";
        default: return nullptr;
    }
}

// What one opcode did: done, stopped the scan (STOP, an unknown opcode), or needs bytes that are
// not there yet (at the end of the stream: a truncated stream, which the unpickler refuses itself).
enum Step : uint8_t { done, stop, more };

}  // namespace

class Scanner::Impl {
public:
    bool feed(const unsigned char* data, size_t size) {
        if (stopped_) return false;
        // the rest of a long byte string, which is skipped rather than kept
        size_t skipped = (size_t) std::min<uint64_t>(skip_, size);
        skip_ -= skipped;
        data += skipped;
        size -= skipped;
        if (size == 0) return true;
        if (!carry_.empty()) {
            carry_.append((const char*) data, size);
            data = (const unsigned char*) carry_.data();
            size = carry_.size();
        }
        p_ = data;
        end_ = data + size;
        while (p_ < end_) {
            const unsigned char* start = p_;
            unsigned char op = *p_++;
            if (const char* name = refused_name(op)) refuse(name);
            Step result = step(op);
            if (result == stop) {
                stopped_ = true;
                carry_.clear();
                return false;
            }
            if (result == more) {
                // keep the opcode's bytes until the next piece completes it
                std::string rest((const char*) start, (size_t) (end_ - start));
                carry_ = std::move(rest);
                return true;
            }
        }
        carry_.clear();
        return true;
    }

    Scan finish() {
        // A stream that ends before its STOP is refused here rather than left to the unpickler: an
        // argument that claims more bytes than the stream holds makes it reserve them first.
        if (!stopped_) refuse("truncated stream");
        return std::move(result_);
    }

private:
    const unsigned char* p_ = nullptr;
    const unsigned char* end_ = nullptr;
    std::string carry_;
    uint64_t skip_ = 0;
    bool stopped_ = false;
    std::vector<Item> stack_;
    std::vector<size_t> marks_;
    std::unordered_map<uint64_t, Item> memo_;
    std::vector<std::string> texts_;
    std::map<std::pair<std::string, std::string>, uint32_t> global_index_;
    Scan result_;

    void refuse(const std::string& name) {
        for (const std::string& seen : result_.refused_opcodes)
            if (seen == name) return;
        result_.refused_opcodes.push_back(name);
    }

    void use(const Item& item, Use kind) {
        if (item.kind != Item::global && item.kind != Item::made) return;
        if (item.kind == Item::made && kind != Use::build) return;  // only BUILD names an object's maker
        std::vector<Use>& uses = result_.globals[item.ref].uses;
        for (Use seen : uses)
            if (seen == kind) return;
        uses.push_back(kind);
    }

    uint32_t add_global(std::string module, std::string name) {
        auto key = std::make_pair(std::move(module), std::move(name));
        auto found = global_index_.find(key);
        if (found != global_index_.end()) return found->second;
        uint32_t index = (uint32_t) result_.globals.size();
        result_.globals.push_back({key.first, key.second, {}});
        global_index_.emplace(std::move(key), index);
        return index;
    }

    // The bottom of the current frame of work: the last mark, or the stack's bottom.
    size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    Item pop() {
        if (stack_.size() <= fence()) return {};  // the unpickler refuses this stream itself
        Item item = stack_.back();
        stack_.pop_back();
        return item;
    }

    // Items consumed into a container or call argument: every global among them is a reference.
    void consume(size_t count) {
        for (size_t i = 0; i < count; ++i) use(pop(), Use::reference);
    }

    void pop_to_mark() {
        if (marks_.empty()) return;
        size_t mark = marks_.back();
        while (stack_.size() > mark) {
            use(stack_.back(), Use::reference);
            stack_.pop_back();
        }
        marks_.pop_back();
    }

    void push(Item item = {}) { stack_.push_back(item); }

    bool have(size_t n) const { return (size_t) (end_ - p_) >= n; }

    Step fixed(size_t n) {
        if (!have(n)) return more;
        p_ += n;
        push();
        return done;
    }

    uint64_t little(size_t n) {
        uint64_t value = 0;
        for (size_t i = 0; i < n; ++i) value |= (uint64_t) p_[i] << (8 * i);
        p_ += n;
        return value;
    }

    // A length-prefixed argument. Its text is read whole (more: not all here yet); a byte string
    // that runs past this piece is skipped across the following ones.
    Step counted(size_t width, std::string* text = nullptr) {
        if (!have(width)) return more;
        const unsigned char* header = p_;
        uint64_t length = little(width);
        uint64_t available = (uint64_t) (end_ - p_);
        if (available < length) {
            if (text) {
                p_ = header;
                return more;
            }
            skip_ = length - available;
            p_ = end_;
            return done;
        }
        if (text) text->assign((const char*) p_, (size_t) length);
        p_ += length;
        return done;
    }

    // A newline-terminated argument (without its newline): false when the newline is not here yet.
    bool line(std::string* text = nullptr) {
        const void* newline = std::memchr(p_, '\n', (size_t) (end_ - p_));
        if (!newline) return false;
        const unsigned char* stop = (const unsigned char*) newline;
        if (text) text->assign((const char*) p_, (size_t) (stop - p_));
        p_ = stop + 1;
        return true;
    }

    // A PUT or GET line: more when the line is not complete; `valid` false for a key that is not a
    // decimal number (the unpickler refuses it).
    Step memo_key_line(uint64_t& key, bool& valid) {
        std::string digits;
        if (!line(&digits)) return more;
        valid = !digits.empty() && digits.size() <= 18;
        key = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') valid = false;
            key = key * 10 + (uint64_t) (c - '0');
        }
        return done;
    }

    void memo_put(uint64_t key) {
        // Picklers number their memo entries in order; the unpickler sizes its memo table by the
        // largest index, so one far ahead asks for gigabytes.
        if (key > memo_.size()) refuse("memo index out of order");
        if (stack_.size() <= fence()) return;
        memo_[key] = stack_.back();
    }

    void memo_get(uint64_t key) {
        auto found = memo_.find(key);
        push(found == memo_.end() ? Item{} : found->second);
    }

    void push_text(std::string text) {
        texts_.push_back(std::move(text));
        push({Item::text, (uint32_t) (texts_.size() - 1)});
    }

    // One opcode after its byte.
    Step step(unsigned char op) {
        switch (op) {
            case '.': return stop;
            case '(': marks_.push_back(stack_.size()); return done;  // MARK
            case '0':  // POP: an item, or the mark itself when the frame is empty
                if (stack_.size() > fence()) use(pop(), Use::reference);
                else if (!marks_.empty()) marks_.pop_back();
                return done;
            case '1': pop_to_mark(); return done;  // POP_MARK
            case '2': if (stack_.size() > fence()) push(stack_.back()); return done;  // DUP
            case 'N': case 0x88: case 0x89: case ')': case ']': case '}': case 0x8f: case 0x97:
                push(); return done;
            case 0x98: return done;  // READONLY_BUFFER
            case 'K': case 0x82: return fixed(1);
            case 'M': case 0x83: return fixed(2);
            case 'J': case 0x84: return fixed(4);
            case 'G': return fixed(8);
            case 'F': case 'I': case 'L': case 'S': case 'V': case 'P':
                if (!line()) return more;
                push();
                return done;
            case 0x8a: case 'U': case 'C': return pushed(counted(1));  // LONG1, SHORT_BINSTRING/BYTES
            case 0x8b: case 'T': case 'B': return pushed(counted(4));  // LONG4, BINSTRING, BINBYTES
            case 0x8e: case 0x96: return pushed(counted(8));           // BINBYTES8, BYTEARRAY8
            case 0x8c: case 'X': case 0x8d: {  // SHORT_BINUNICODE, BINUNICODE, BINUNICODE8
                std::string text;
                Step result = counted(op == 0x8c ? 1 : op == 'X' ? 4 : 8, &text);
                if (result == done) push_text(std::move(text));
                return result;
            }
            case 0x80: if (!have(1)) return more; p_ += 1; return done;  // PROTO
            case 0x95: if (!have(8)) return more; p_ += 8; return done;  // FRAME: transparent
            case 'a': consume(1); return done;                            // APPEND
            case 'e': case 0x90: pop_to_mark(); return done;              // APPENDS, ADDITEMS
            case 's': consume(2); return done;                            // SETITEM
            case 'u': pop_to_mark(); return done;                         // SETITEMS
            case 't': case 'l': case 'd': case 0x91: pop_to_mark(); push(); return done;
            case 0x85: consume(1); push(); return done;                   // TUPLE1
            case 0x86: consume(2); push(); return done;                   // TUPLE2
            case 0x87: consume(3); push(); return done;                   // TUPLE3
            case 'Q': consume(1); push(); return done;                    // BINPERSID
            case 'p': case 'g': {  // PUT, GET
                uint64_t key = 0;
                bool valid = false;
                if (memo_key_line(key, valid) == more) return more;
                if (op == 'p' && valid) memo_put(key);
                if (op == 'g') valid ? memo_get(key) : push();
                return done;
            }
            case 'q': case 'h': if (!have(1)) return more; op == 'q' ? memo_put(little(1)) : memo_get(little(1)); return done;
            case 'r': case 'j': if (!have(4)) return more; op == 'r' ? memo_put(little(4)) : memo_get(little(4)); return done;
            case 0x94: memo_put(memo_.size()); return done;              // MEMOIZE
            case 'c': case 'i': {  // GLOBAL, INST: module and name on two lines
                std::string module, name;
                if (!line(&module) || !line(&name)) return more;
                uint32_t index = add_global(std::move(module), std::move(name));
                if (op == 'c') {
                    push({Item::global, index});
                } else {
                    use({Item::global, index}, Use::reduce);
                    pop_to_mark();
                    push({Item::made, index});
                }
                return done;
            }
            case 0x93: {  // STACK_GLOBAL
                Item name = pop(), module = pop();
                if (module.kind != Item::text || name.kind != Item::text) {
                    refuse("STACK_GLOBAL without string constants");
                    push();
                    return done;
                }
                push({Item::global, add_global(texts_[module.ref], texts_[name.ref])});
                return done;
            }
            case 'R': {  // REDUCE
                consume(1);
                Item callable = pop();
                use(callable, Use::reduce);
                push(callable.kind == Item::global ? Item{Item::made, callable.ref} : Item{});
                return done;
            }
            case 0x81: case 0x92: {  // NEWOBJ, NEWOBJ_EX
                consume(op == 0x81 ? 1 : 2);
                Item cls = pop();
                use(cls, Use::newobj);
                push(cls.kind == Item::global ? Item{Item::made, cls.ref} : Item{});
                return done;
            }
            case 'o': {  // OBJ: the class is the first item after the mark
                if (marks_.empty()) return done;
                size_t mark = marks_.back();
                Item cls = stack_.size() > mark ? stack_[mark] : Item{};
                use(cls, Use::reduce);
                pop_to_mark();
                push(cls.kind == Item::global ? Item{Item::made, cls.ref} : Item{});
                return done;
            }
            case 'b': {  // BUILD: the state goes into the object below it
                consume(1);
                if (stack_.size() > fence()) use(stack_.back(), Use::build);
                return done;
            }
            default: {
                char name[32];
                std::snprintf(name, sizeof name, "unknown opcode 0x%02x", op);
                refuse(name);
                return stop;
            }
        }
    }

    Step pushed(Step result) {
        if (result == done) push();
        return result;
    }
};

const char* use_name(Use use) {
    switch (use) {
        case Use::reduce: return "REDUCE";
        case Use::newobj: return "NEWOBJ";
        case Use::build: return "BUILD";
        case Use::reference: return "reference";
    }
    return "reference";
}

Scanner::Scanner() : impl_(std::make_unique<Impl>()) {}
Scanner::~Scanner() = default;
bool Scanner::feed(const unsigned char* data, size_t size) { return impl_->feed(data, size); }
Scan Scanner::finish() { return impl_->finish(); }

Scan scan_pickle(const unsigned char* data, size_t size) {
    Scanner scanner;
    scanner.feed(data, size);
    return scanner.finish();
}

}  // namespace korva::utils::safeload
