// The static scanner of korva.utils.safeload: one pass over a pickle's opcodes that lists the
// globals it names (with how each is used) and the opcodes it refuses, without the interpreter.
// STACK_GLOBAL takes its module and name from the stack, so the scanner keeps a light copy of the
// stack and memo: string constants, globals and the objects made from them, nothing else.
#include "korva/utils/safeload/safeload.hpp"

#include <cstdio>
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

class Scanner {
public:
    Scanner(const unsigned char* data, size_t size) : p_(data), end_(data + size) {}

    Scan run() {
        while (p_ < end_) {
            unsigned char op = *p_++;
            if (const char* name = refused_name(op)) refuse(name);
            if (!step(op)) break;
        }
        return std::move(result_);
    }

private:
    const unsigned char* p_;
    const unsigned char* end_;
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

    uint64_t little(size_t n) {
        uint64_t value = 0;
        for (size_t i = 0; i < n; ++i) value |= (uint64_t) p_[i] << (8 * i);
        p_ += n;
        return value;
    }

    // A length-prefixed argument: false when the stream ends inside it.
    bool skip_counted(size_t width, std::string* text = nullptr) {
        if (!have(width)) return false;
        uint64_t length = little(width);
        if ((uint64_t) (end_ - p_) < length) return false;
        if (text) text->assign((const char*) p_, (size_t) length);
        p_ += length;
        return true;
    }

    // A newline-terminated argument (without its newline): false when there is no newline.
    bool line(std::string* text = nullptr) {
        const void* newline = std::memchr(p_, '\n', (size_t) (end_ - p_));
        if (!newline) return false;
        const unsigned char* stop = (const unsigned char*) newline;
        if (text) text->assign((const char*) p_, (size_t) (stop - p_));
        p_ = stop + 1;
        return true;
    }

    bool memo_key_line(uint64_t& key) {
        std::string digits;
        if (!line(&digits) || digits.empty() || digits.size() > 18) return false;
        key = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            key = key * 10 + (uint64_t) (c - '0');
        }
        return true;
    }

    void memo_put(uint64_t key) {
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

    // One opcode after its byte; false ends the scan (STOP, a truncated argument, an unknown opcode).
    bool step(unsigned char op) {
        switch (op) {
            case '.': return false;  // STOP
            case '(': marks_.push_back(stack_.size()); return true;  // MARK
            case '0':  // POP: an item, or the mark itself when the frame is empty
                if (stack_.size() > fence()) use(pop(), Use::reference);
                else if (!marks_.empty()) marks_.pop_back();
                return true;
            case '1': pop_to_mark(); return true;  // POP_MARK
            case '2': if (stack_.size() > fence()) push(stack_.back()); return true;  // DUP
            case 'N': case 0x88: case 0x89: case ')': case ']': case '}': case 0x8f:
                push(); return true;
            case 'K': if (!have(1)) return false; p_ += 1; push(); return true;
            case 'M': if (!have(2)) return false; p_ += 2; push(); return true;
            case 'J': if (!have(4)) return false; p_ += 4; push(); return true;
            case 'G': if (!have(8)) return false; p_ += 8; push(); return true;
            case 'F': case 'I': case 'L': case 'S': case 'V':
                if (!line()) return false;
                push();
                return true;
            case 0x8a: if (!skip_counted(1)) return false; push(); return true;  // LONG1
            case 0x8b: if (!skip_counted(4)) return false; push(); return true;  // LONG4
            case 'U': case 'C': if (!skip_counted(1)) return false; push(); return true;
            case 'T': case 'B': if (!skip_counted(4)) return false; push(); return true;
            case 0x8e: case 0x96: if (!skip_counted(8)) return false; push(); return true;
            case 0x8c: case 'X': case 0x8d: {  // SHORT_BINUNICODE, BINUNICODE, BINUNICODE8
                std::string text;
                if (!skip_counted(op == 0x8c ? 1 : op == 'X' ? 4 : 8, &text)) return false;
                push_text(std::move(text));
                return true;
            }
            case 0x80: if (!have(1)) return false; p_ += 1; return true;  // PROTO
            case 0x95: if (!have(8)) return false; p_ += 8; return true;  // FRAME: transparent
            case 'a': consume(1); return true;                            // APPEND
            case 'e': case 0x90: pop_to_mark(); return true;              // APPENDS, ADDITEMS
            case 's': consume(2); return true;                            // SETITEM
            case 'u': pop_to_mark(); return true;                         // SETITEMS
            case 't': case 'l': case 'd': case 0x91: pop_to_mark(); push(); return true;
            case 0x85: consume(1); push(); return true;                   // TUPLE1
            case 0x86: consume(2); push(); return true;                   // TUPLE2
            case 0x87: consume(3); push(); return true;                   // TUPLE3
            case 'p': { uint64_t key; if (!memo_key_line(key)) return false; memo_put(key); return true; }
            case 'q': if (!have(1)) return false; memo_put(little(1)); return true;
            case 'r': if (!have(4)) return false; memo_put(little(4)); return true;
            case 0x94: memo_put(memo_.size()); return true;              // MEMOIZE
            case 'g': { uint64_t key; if (!memo_key_line(key)) return false; memo_get(key); return true; }
            case 'h': if (!have(1)) return false; memo_get(little(1)); return true;
            case 'j': if (!have(4)) return false; memo_get(little(4)); return true;
            case 'c': case 'i': {  // GLOBAL, INST: module and name on two lines
                std::string module, name;
                if (!line(&module) || !line(&name)) return false;
                uint32_t index = add_global(std::move(module), std::move(name));
                if (op == 'c') {
                    push({Item::global, index});
                } else {
                    use({Item::global, index}, Use::reduce);
                    pop_to_mark();
                    push({Item::made, index});
                }
                return true;
            }
            case 0x93: {  // STACK_GLOBAL
                Item name = pop(), module = pop();
                if (module.kind != Item::text || name.kind != Item::text) {
                    refuse("STACK_GLOBAL without string constants");
                    push();
                    return true;
                }
                push({Item::global, add_global(texts_[module.ref], texts_[name.ref])});
                return true;
            }
            case 'R': {  // REDUCE
                consume(1);
                Item callable = pop();
                use(callable, Use::reduce);
                push(callable.kind == Item::global ? Item{Item::made, callable.ref} : Item{});
                return true;
            }
            case 0x81: case 0x92: {  // NEWOBJ, NEWOBJ_EX
                consume(op == 0x81 ? 1 : 2);
                Item cls = pop();
                use(cls, Use::newobj);
                push(cls.kind == Item::global ? Item{Item::made, cls.ref} : Item{});
                return true;
            }
            case 'o': {  // OBJ: the class is the first item after the mark
                if (marks_.empty()) return true;
                size_t mark = marks_.back();
                Item cls = stack_.size() > mark ? stack_[mark] : Item{};
                use(cls, Use::reduce);
                pop_to_mark();
                push(cls.kind == Item::global ? Item{Item::made, cls.ref} : Item{});
                return true;
            }
            case 'b': {  // BUILD: the state goes into the object below it
                consume(1);
                if (stack_.size() > fence()) use(stack_.back(), Use::build);
                return true;
            }
            case 0x82: if (!have(1)) return false; p_ += 1; push(); return true;
            case 0x83: if (!have(2)) return false; p_ += 2; push(); return true;
            case 0x84: if (!have(4)) return false; p_ += 4; push(); return true;
            case 'P': if (!line()) return false; push(); return true;
            case 'Q': consume(1); push(); return true;
            case 0x97: push(); return true;
            case 0x98: return true;
            default: {
                char name[32];
                std::snprintf(name, sizeof name, "unknown opcode 0x%02x", op);
                refuse(name);
                return false;
            }
        }
    }
};

}  // namespace

const char* use_name(Use use) {
    switch (use) {
        case Use::reduce: return "REDUCE";
        case Use::newobj: return "NEWOBJ";
        case Use::build: return "BUILD";
        case Use::reference: return "reference";
    }
    return "reference";
}

Scan scan_pickle(const unsigned char* data, size_t size) { return Scanner(data, size).run(); }

}  // namespace korva::utils::safeload
