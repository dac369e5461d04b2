// The restricted pickle interpreter of korva.utils.safeload: one pass over the opcodes of a pickle of
// protocols 2 to 5 (as pickle and dill write them), handed over in pieces of any size. It runs the
// opcodes itself: a stack with marks, a memo that grows only by its next index, frames that no
// opcode may cross. In load mode it builds the objects through the allow-list table's objects and
// narrowed steps; in scan mode it builds nothing and tracks only what its decisions read (string
// constants, which listed object made what), so both modes decide the same things from the same
// bytes. Whatever it does not accept is refused; after a refusal it builds nothing more and only
// lists what else it would refuse.
#include "korva/utils/safeload/safeload.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace korva::utils::safeload {

namespace {

constexpr size_t name_cap = 256;                          // the longest module or name a stream may spell
constexpr size_t max_header = 1 + 2 * (name_cap + 1);     // GLOBAL: the opcode and two lines
constexpr size_t too_long = ~(size_t) 0;
constexpr long long value_cost = 64;                      // bytes charged for a new value
constexpr long long slot_cost = 8, entry_cost = 48, memo_cost = 16, mark_cost = 8;
constexpr uint32_t no_global = ~(uint32_t) 0;
constexpr size_t max_refusals = 100;                      // distinct items a refusal lists

// What the interpreter knows of a value beyond the object itself.
enum class Kind : uint8_t {
    plain,
    text,          // a string constant of at most name_cap bytes (ref: its index in texts_)
    tuple,
    text_tuple,    // a 1-tuple of a string constant (ref: that text)
    empty_tuple,
    list, dict, set,  // containers the stream made empty: APPEND, SETITEM(S), ADDITEMS fill them
    global,        // a listed or named global (ref: its record)
    listed_type,   // a type dill's _load_type served (ref: the table entry)
    made,          // what a REDUCE or NEWOBJ of a global made (ref: its record in made_)
};

struct Value {
    PyObject* obj;  // load mode: a strong reference; nullptr otherwise
    uint32_t ref;
    Kind kind;
    uint8_t depth = 0;  // tuples: how deep tuples nest in it
};

// A value taken off the stack: the reference is owned here.
struct Item {
    nb::object obj;
    uint32_t ref = 0;
    Kind kind = Kind::plain;
    uint8_t depth = 0;
    bool is_tuple() const { return kind == Kind::tuple || kind == Kind::text_tuple || kind == Kind::empty_tuple; }
};

// A tuple's hash hashes its items, a nested tuple's recursively and without a depth check of the
// interpreter's own: tuples nested deeper than any data needs are refused before a dict or set can
// hash one.
constexpr uint8_t max_tuple_depth = 64;

// Thrown at a refusal inside one opcode; `fatal`: nothing after it can be read.
struct Refusal {
    std::string what;
    bool fatal;
};

// An incremental UTF-8 check with the surrogatepass rule pickle decodes strings with: the encoded
// surrogates U+D800..U+DFFF pass, overlong forms and anything past U+10FFFF do not.
class Utf8 {
public:
    void reset() {
        need_ = 0;
        ok_ = true;
    }
    bool valid() const { return ok_ && need_ == 0; }
    void feed(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n && ok_; ++i) {
            unsigned char c = p[i];
            if (need_ == 0) {
                if (c < 0x80) continue;
                lo_ = 0x80, hi_ = 0xBF;
                if (c >= 0xC2 && c <= 0xDF) need_ = 1;
                else if (c == 0xE0) need_ = 2, lo_ = 0xA0;
                else if (c >= 0xE1 && c <= 0xEF) need_ = 2;
                else if (c == 0xF0) need_ = 3, lo_ = 0x90;
                else if (c >= 0xF1 && c <= 0xF3) need_ = 3;
                else if (c == 0xF4) need_ = 3, hi_ = 0x8F;
                else ok_ = false;
            } else {
                if (c < lo_ || c > hi_) ok_ = false;
                lo_ = 0x80, hi_ = 0xBF;
                --need_;
            }
        }
    }

private:
    uint8_t need_ = 0, lo_ = 0x80, hi_ = 0xBF;
    bool ok_ = true;
};

// How an opcode's argument is laid out, and since which protocol it exists; refused opcodes keep
// their layout so that a listing can read past them.
enum class Arg : uint8_t { none, fixed, line, two_lines, counted, unknown };

struct OpInfo {
    const char* name;
    Arg arg;
    uint8_t size;      // fixed: argument bytes; counted: bytes of the length field
    uint8_t protocol;  // the first protocol that has it
    bool refused;
};

OpInfo info(unsigned char op) {
    switch (op) {
        case '(': return {"MARK", Arg::none, 0, 0, false};
        case '.': return {"STOP", Arg::none, 0, 0, false};
        case '0': return {"POP", Arg::none, 0, 0, false};
        case '1': return {"POP_MARK", Arg::none, 0, 1, false};
        case 'N': return {"NONE", Arg::none, 0, 0, false};
        case 'J': return {"BININT", Arg::fixed, 4, 1, false};
        case 'K': return {"BININT1", Arg::fixed, 1, 1, false};
        case 'M': return {"BININT2", Arg::fixed, 2, 1, false};
        case 'G': return {"BINFLOAT", Arg::fixed, 8, 1, false};
        case 'R': return {"REDUCE", Arg::none, 0, 0, false};
        case 'X': return {"BINUNICODE", Arg::counted, 4, 1, false};
        case 'a': return {"APPEND", Arg::none, 0, 0, false};
        case 'b': return {"BUILD", Arg::none, 0, 0, false};
        case 'c': return {"GLOBAL", Arg::two_lines, 0, 0, false};
        case 'e': return {"APPENDS", Arg::none, 0, 1, false};
        case 'h': return {"BINGET", Arg::fixed, 1, 1, false};
        case 'j': return {"LONG_BINGET", Arg::fixed, 4, 1, false};
        case ']': return {"EMPTY_LIST", Arg::none, 0, 1, false};
        case '}': return {"EMPTY_DICT", Arg::none, 0, 1, false};
        case ')': return {"EMPTY_TUPLE", Arg::none, 0, 1, false};
        case 'q': return {"BINPUT", Arg::fixed, 1, 1, false};
        case 'r': return {"LONG_BINPUT", Arg::fixed, 4, 1, false};
        case 's': return {"SETITEM", Arg::none, 0, 0, false};
        case 't': return {"TUPLE", Arg::none, 0, 0, false};
        case 'u': return {"SETITEMS", Arg::none, 0, 1, false};
        case 0x80: return {"PROTO", Arg::fixed, 1, 2, false};
        case 0x81: return {"NEWOBJ", Arg::none, 0, 2, false};
        case 0x85: return {"TUPLE1", Arg::none, 0, 2, false};
        case 0x86: return {"TUPLE2", Arg::none, 0, 2, false};
        case 0x87: return {"TUPLE3", Arg::none, 0, 2, false};
        case 0x88: return {"NEWTRUE", Arg::none, 0, 2, false};
        case 0x89: return {"NEWFALSE", Arg::none, 0, 2, false};
        case 0x8a: return {"LONG1", Arg::counted, 1, 2, false};
        case 0x8b: return {"LONG4", Arg::counted, 4, 2, false};
        case 'B': return {"BINBYTES", Arg::counted, 4, 3, false};
        case 'C': return {"SHORT_BINBYTES", Arg::counted, 1, 3, false};
        case 0x8c: return {"SHORT_BINUNICODE", Arg::counted, 1, 4, false};
        case 0x8d: return {"BINUNICODE8", Arg::counted, 8, 4, false};
        case 0x8e: return {"BINBYTES8", Arg::counted, 8, 4, false};
        case 0x8f: return {"EMPTY_SET", Arg::none, 0, 4, false};
        case 0x90: return {"ADDITEMS", Arg::none, 0, 4, false};
        case 0x91: return {"FROZENSET", Arg::none, 0, 4, false};
        case 0x93: return {"STACK_GLOBAL", Arg::none, 0, 4, false};
        case 0x94: return {"MEMOIZE", Arg::none, 0, 4, false};
        case 0x95: return {"FRAME", Arg::fixed, 8, 4, false};
        case 0x96: return {"BYTEARRAY8", Arg::counted, 8, 5, false};
        // Never written by pickle or dill for the data this reader is for, or able to reach code by
        // other means than the table: refused wherever they appear.
        case '2': return {"DUP", Arg::none, 0, 0, true};
        case 'F': return {"FLOAT", Arg::line, 0, 0, true};
        case 'I': return {"INT", Arg::line, 0, 0, true};
        case 'L': return {"LONG", Arg::line, 0, 0, true};
        case 'S': return {"STRING", Arg::line, 0, 0, true};
        case 'V': return {"UNICODE", Arg::line, 0, 0, true};
        case 'P': return {"PERSID", Arg::line, 0, 0, true};
        case 'Q': return {"BINPERSID", Arg::none, 0, 1, true};
        case 'T': return {"BINSTRING", Arg::counted, 4, 1, true};
        case 'U': return {"SHORT_BINSTRING", Arg::counted, 1, 1, true};
        case 'd': return {"DICT", Arg::none, 0, 0, true};
        case 'l': return {"LIST", Arg::none, 0, 0, true};
        case 'g': return {"GET", Arg::line, 0, 0, true};
        case 'p': return {"PUT", Arg::line, 0, 0, true};
        case 'i': return {"INST", Arg::two_lines, 0, 0, true};
        case 'o': return {"OBJ", Arg::none, 0, 1, true};
        case 0x82: return {"EXT1", Arg::fixed, 1, 2, true};
        case 0x83: return {"EXT2", Arg::fixed, 2, 2, true};
        case 0x84: return {"EXT4", Arg::fixed, 4, 2, true};
        case 0x92: return {"NEWOBJ_EX", Arg::none, 0, 4, true};
        case 0x97: return {"NEXT_BUFFER", Arg::none, 0, 5, true};
        case 0x98: return {"READONLY_BUFFER", Arg::none, 0, 5, true};
        default: return {nullptr, Arg::unknown, 0, 0, true};
    }
}

uint64_t little(const unsigned char* p, size_t n) {
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) value |= (uint64_t) p[i] << (8 * i);
    return value;
}

const unsigned char* find_newline(const unsigned char* p, size_t n) {
    return (const unsigned char*) std::memchr(p, '\n', n);
}

// The bytes an opcode's header takes (the opcode, its fixed argument or lines, a length field), 0
// when they are not all there yet, too_long for lines longer than any name.
size_t header_length(const unsigned char* p, size_t n) {
    if (n == 0) return 0;
    OpInfo op = info(p[0]);
    switch (op.arg) {
        case Arg::none: case Arg::unknown: return 1;
        case Arg::fixed: case Arg::counted: return n >= 1u + op.size ? 1u + op.size : 0;
        case Arg::line: case Arg::two_lines: {
            size_t at = 1;
            for (int line = 0; line < (op.arg == Arg::line ? 1 : 2); ++line) {
                size_t window = std::min(n - at, name_cap + 1);
                const unsigned char* newline = find_newline(p + at, window);
                if (!newline) return window == name_cap + 1 ? too_long : 0;
                at = (size_t) (newline - p) + 1;
            }
            return at;
        }
    }
    return 1;
}

std::string hex_opcode(unsigned char op) {
    char text[40];
    std::snprintf(text, sizeof text, "unknown opcode 0x%02x", op);
    return text;
}

}  // namespace

class Interpreter::Impl {
public:
    Impl(const py::Call& g, Mode mode, Budget budget, std::vector<TrustedName> trusted)
        : g_(g), mode_(mode), budget_(budget), ctx_(g, &budget_), trusted_(std::move(trusted)) {}

    ~Impl() { drop_objects(); }

    Context& context() { return ctx_; }
    bool reading() const { return !stopped_; }

    void feed(const unsigned char* data, size_t size) {
        if (stopped_) return;
        fed_ += size;
        if (fed_ > (unsigned long long) budget_.max_bytes) {
            note("the serialized stream is longer than max_bytes=" + std::to_string(budget_.max_bytes), true);
            return;
        }
        while (size > 0 && !stopped_) {
            size_t used = payload_.left > 0 ? take_payload(data, size) : step(data, size);
            data += used;
            size -= used;
        }
    }

    Outcome finish() {
        if (!stopped_ && (!done_ || payload_.left > 0 || !carry_.empty())) note("truncated stream", true);
        if (done_ && in_frame_ && pos_ < frame_end_) note("a frame longer than the stream", false);
        Outcome outcome;
        for (GlobalRecord& record : globals_) outcome.globals.push_back(record.seen);
        outcome.refused = refused_;
        outcome.not_globals = not_globals_;
        outcome.error = std::move(error_);
        if (refused_.empty() && !outcome.error.is_valid()) outcome.root = std::move(root_);
        drop_objects();
        return outcome;
    }

private:
    struct GlobalRecord {
        GlobalSeen seen;
        Role role = Role::reference;
        int entry = -1;     // the table entry whose steps apply (a caller's name for a listed object too)
        nb::object object;  // load mode: what the stream gets for it
    };
    struct Made {
        uint32_t global;  // the record of the global that made it (no_global: a type dill served)
        Role role;
        bool build_pending;
    };
    struct Payload {
        uint64_t left = 0;
        uint64_t length = 0;
        unsigned char op = 0;
        bool text = false, keep = false, refused = false;
        nb::object target;  // load mode: the bytes or bytearray being filled
        char* write = nullptr;
        std::string gathered;
        Utf8 utf8;
    };

    const py::Call& g_;
    Mode mode_;
    Budget budget_;
    Context ctx_;
    std::vector<TrustedName> trusted_;

    bool listing_ = false, stopped_ = false, done_ = false;
    int protocol_ = 0;
    unsigned long long fed_ = 0, pos_ = 0, frame_end_ = 0;
    bool in_frame_ = false;
    std::string carry_;
    Payload payload_;

    std::vector<Value> stack_, memo_;
    std::vector<size_t> marks_;
    std::vector<std::string> texts_;
    std::vector<GlobalRecord> globals_;
    std::unordered_map<std::string, uint32_t> global_index_;
    std::vector<Made> made_;
    nb::object root_, error_;
    std::vector<std::string> refused_, not_globals_;
    std::unordered_set<std::string> refused_seen_;
    bool capped_ = false;

    bool building() const { return mode_ == Mode::load && !listing_; }

    // ---- refusals ---------------------------------------------------------------------------
    // The listing is bounded: past max_refusals distinct items the rest of the stream is not read
    // (each item is a string of up to two names, and a listing need not be longer to be read).
    void note(const std::string& what, bool fatal, bool global = false) {
        if (refused_seen_.insert(what).second) {
            if (refused_.size() >= max_refusals) {
                if (!capped_) {
                    std::string more = "more than " + std::to_string(max_refusals) + " refusals";
                    refused_.push_back(more);
                    not_globals_.push_back(more);
                    capped_ = true;
                }
                fatal = true;
            } else {
                refused_.push_back(what);
                if (!global) not_globals_.push_back(what);
            }
        }
        enter_listing();
        if (fatal) stopped_ = true;
    }

    // From here on nothing is built: what load mode held is let go (texts stay tracked).
    void enter_listing() {
        if (listing_) return;
        listing_ = true;
        drop_objects();
    }

    void drop_objects() {
        for (std::vector<Value>* values : {&stack_, &memo_})
            for (Value& value : *values) {
                Py_XDECREF(value.obj);
                value.obj = nullptr;
            }
        payload_.target.reset();
        root_.reset();
    }

    // A listed constructor raised: its own refusals join the list, any other error is kept for the end.
    void built_with_error(nb::python_error& error) {
        nb::object untrusted = g_("MTDUntrustedError");
        if (error.matches(untrusted)) {
            nb::object refused = nb::getattr(error.value(), "refused", nb::tuple());
            for (nb::handle item : refused) note(text_of(nb::str(item)), false);
            if (refused.is_none() || nb::len(refused) == 0) note(text_of(nb::str(error.value())), false);
        } else {
            if (!error_.is_valid()) error_ = nb::borrow(error.value());
            enter_listing();
        }
    }

    void charge(long long items, long long bytes) {
        budget_.items += items;
        budget_.bytes += bytes;
        if (budget_.items > budget_.max_items)
            throw Refusal{"the stream holds more than max_items=" + std::to_string(budget_.max_items) + " values", true};
        if (budget_.bytes > budget_.max_bytes)
            throw Refusal{"the stream builds more than max_bytes=" + std::to_string(budget_.max_bytes) + " bytes", true};
    }

    // ---- reading ---------------------------------------------------------------------------
    // One opcode's header from `data` (completing one carried over from the piece before); returns
    // the bytes taken from `data`.
    size_t step(const unsigned char* data, size_t size) {
        if (done_) {
            note("data after STOP", true);
            return size;
        }
        if (!carry_.empty()) {
            size_t before = carry_.size();
            size_t take = std::min(size, max_header - before);
            carry_.append((const char*) data, take);
            size_t length = header_length((const unsigned char*) carry_.data(), carry_.size());
            if (length == too_long) {
                note("a name longer than " + std::to_string(name_cap) + " bytes", true);
                return size;
            }
            if (length == 0) return take;
            std::string header = std::move(carry_);
            carry_.clear();
            run((const unsigned char*) header.data(), length);
            return length - before;
        }
        size_t length = header_length(data, size);
        if (length == too_long) {
            note("a name longer than " + std::to_string(name_cap) + " bytes", true);
            return size;
        }
        if (length == 0) {
            carry_.assign((const char*) data, size);
            return size;
        }
        run(data, length);
        return length;
    }

    void run(const unsigned char* header, size_t length) {
        unsigned long long start = pos_;
        pos_ += length;
        if (in_frame_ && start >= frame_end_) in_frame_ = false;
        try {
            execute(header, length, start);
        } catch (Refusal& refusal) {
            note(refusal.what, refusal.fatal);
        } catch (nb::python_error& error) {
            built_with_error(error);
        }
    }

    // An opcode and all its argument bytes must lie inside the frame it starts in.
    void check_frame(unsigned long long end) {
        if (in_frame_ && end > frame_end_) throw Refusal{"an opcode runs past the end of its frame", true};
    }

    void execute(const unsigned char* header, size_t length, unsigned long long start) {
        unsigned char op = header[0];
        OpInfo op_info = info(op);
        const unsigned char* arg = header + 1;
        if (start == 0 && op != 0x80) throw Refusal{"not a stream of protocol 2 to 5", true};
        if (op_info.arg == Arg::unknown) throw Refusal{hex_opcode(op), true};
        if (op_info.arg == Arg::counted) return begin_payload(op, op_info, little(arg, op_info.size), start, length);
        check_frame(pos_);
        if (op_info.refused) return refused_opcode(op, op_info, arg, length);
        if (op_info.protocol > protocol_ && op != 0x80)
            throw Refusal{std::string(op_info.name) + " in a protocol " + std::to_string(protocol_) + " stream", false};
        switch (op) {
            case 0x80: return proto(arg[0], start);
            case 0x95: return frame(little(arg, 8));
            case '.': return stop();
            case '(': charge(1, mark_cost); marks_.push_back(stack_.size()); return;
            case '0': pop(); return;
            case '1': pop_to_mark(); return;
            case 'N': return push_constant(Py_None);
            case 0x88: return push_constant(Py_True);
            case 0x89: return push_constant(Py_False);
            case 'J': return push_int((int32_t) (uint32_t) little(arg, 4));
            case 'K': return push_int((long) arg[0]);
            case 'M': return push_int((long) little(arg, 2));
            case 'G': return push_float(arg);
            case ')': charge(1, 0); return push(building() ? nb::tuple() : nb::object(), Kind::empty_tuple, 0);
            case 0x85: return tuple(1);
            case 0x86: return tuple(2);
            case 0x87: return tuple(3);
            case 't': return tuple_to_mark();
            case ']': return empty(Kind::list);
            case '}': return empty(Kind::dict);
            case 0x8f: return empty(Kind::set);
            case 'a': return append(false);
            case 'e': return append(true);
            case 's': return setitems(false);
            case 'u': return setitems(true);
            case 0x90: return additems();
            case 0x91: return frozenset();
            case 'q': return put(arg[0]);
            case 'r': return put(little(arg, 4));
            case 0x94: return put(memo_.size());
            case 'h': return get(arg[0]);
            case 'j': return get(little(arg, 4));
            case 'c': return global_line(arg, length - 1);
            case 0x93: return stack_global();
            case 'R': return reduce();
            case 0x81: return newobj();
            case 'b': return build_op();
            default: throw Refusal{hex_opcode(op), true};
        }
    }

    void proto(unsigned char version, unsigned long long start) {
        if (start != 0) throw Refusal{"PROTO after the start of the stream", false};
        if (version < 2 || version > 5) throw Refusal{"pickle protocol " + std::to_string(version), true};
        protocol_ = version;
    }

    void frame(uint64_t size) {
        if (in_frame_) throw Refusal{"a frame inside a frame", true};
        // (a larger size would wrap the frame's end around and leave the frame unenforced)
        if (size > (uint64_t) budget_.max_bytes) throw Refusal{"a frame longer than the stream", true};
        frame_end_ = pos_ + size;
        in_frame_ = size > 0;
    }

    void stop() {
        if (!listing_ && (stack_.size() != 1 || !marks_.empty()))
            throw Refusal{"STOP with " + std::to_string(stack_.size()) + " values on the stack", true};
        done_ = true;
        if (building() && !stack_.empty()) root_ = nb::borrow(stack_.back().obj);
    }

    // The opcodes never accepted: refused, then stepped over as the format defines them so that the
    // listing can go on.
    void refused_opcode(unsigned char op, const OpInfo& op_info, const unsigned char* arg, size_t length) {
        note(op_info.name, false);
        switch (op) {
            case 'i': {  // INST: a class by its two lines, called with what follows the mark
                const unsigned char* newline = find_newline(arg, length - 1);
                std::string module((const char*) arg, (size_t) (newline - arg));
                std::string name((const char*) newline + 1, (size_t) (arg + length - 1 - (newline + 1) - 1));
                uint32_t record = global_record(module, name);
                globals_[record].seen.uses |= use_reduce;
                pop_to_mark();
                return push({}, Kind::made, add_made(record));
            }
            case 'o': {  // OBJ: the class is the first item after the mark
                Item cls = marks_.empty() || stack_.size() <= marks_.back() ? Item{} : peek_at(marks_.back());
                if (cls.kind == Kind::global) globals_[cls.ref].seen.uses |= use_reduce;
                pop_to_mark();
                return push({}, Kind::made, add_made(cls.kind == Kind::global ? cls.ref : no_global));
            }
            case 'Q': pop(); return push({}, Kind::plain, 0);
            case 'd': case 'l': pop_to_mark(); return push({}, Kind::plain, 0);
            case 0x92: pop(); pop(); pop(); return push({}, Kind::plain, 0);
            case '2': return push({}, Kind::plain, 0);
            case 'p': case 0x98: return;
            default: return push({}, Kind::plain, 0);  // a value of its own: a constant, a buffer, an extension
        }
    }

    // ---- the stack ---------------------------------------------------------------------------
    size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    void push(nb::object obj, Kind kind, uint32_t ref, uint8_t depth = 0) {
        stack_.push_back({building() ? obj.release().ptr() : nullptr, ref, kind, depth});
    }

    Item pop() {
        if (stack_.size() <= fence()) {
            if (listing_) {
                if (stack_.empty() && !marks_.empty()) marks_.pop_back();
                return {};
            }
            throw Refusal{"stack underflow", false};
        }
        Value value = stack_.back();
        stack_.pop_back();
        return {nb::steal(value.obj), value.ref, value.kind, value.depth};
    }

    Item peek_at(size_t index) const {
        const Value& value = stack_[index];
        return {nb::borrow(value.obj), value.ref, value.kind};
    }

    Value& top() {
        if (stack_.size() <= fence()) {
            if (!listing_) throw Refusal{"stack underflow", false};
            stack_.push_back({nullptr, 0, Kind::plain});
        }
        return stack_.back();
    }

    // The items above the last mark, oldest first, and the mark itself.
    std::vector<Item> pop_to_mark() {
        if (marks_.empty()) {
            if (listing_) return {};
            throw Refusal{"no MARK to pop to", false};
        }
        size_t mark = marks_.back();
        marks_.pop_back();
        std::vector<Item> items;
        items.reserve(stack_.size() - mark);
        for (size_t i = mark; i < stack_.size(); ++i)
            items.push_back({nb::steal(stack_[i].obj), stack_[i].ref, stack_[i].kind, stack_[i].depth});
        stack_.resize(mark);
        return items;
    }

    // A value handed on as data (into a container, a call's arguments, a state).
    void consumed(const Item& item) {
        if (item.kind == Kind::global) globals_[item.ref].seen.uses |= use_reference;
    }

    // ---- values ------------------------------------------------------------------------------
    void push_constant(PyObject* constant) {
        charge(1, 0);
        push(nb::borrow(constant), Kind::plain, 0);
    }

    void push_int(long value) {
        charge(1, value_cost);
        nb::object obj;
        if (building()) {
            obj = nb::steal(PyLong_FromLong(value));
            if (!obj.is_valid()) throw nb::python_error();
        }
        push(obj, Kind::plain, 0);
    }

    void push_float(const unsigned char* arg) {
        charge(1, value_cost);
        nb::object obj;
        if (building()) {
            double value = PyFloat_Unpack8((const char*) arg, 0);  // big-endian, as pickle writes it
            if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
            obj = nb::steal(PyFloat_FromDouble(value));
            if (!obj.is_valid()) throw nb::python_error();
        }
        push(obj, Kind::plain, 0);
    }

    void empty(Kind kind) {
        charge(1, value_cost);
        nb::object obj;
        if (building()) {
            obj = nb::steal(kind == Kind::list ? PyList_New(0) : kind == Kind::dict ? PyDict_New() : PySet_New(nullptr));
            if (!obj.is_valid()) throw nb::python_error();
        }
        push(obj, kind, 0);
    }

    void make_tuple(std::vector<Item>& items) {
        charge(1 + (long long) items.size(), value_cost + slot_cost * (long long) items.size());
        for (const Item& item : items) consumed(item);
        Kind kind = items.empty() ? Kind::empty_tuple
                    : items.size() == 1 && items[0].kind == Kind::text ? Kind::text_tuple
                                                                      : Kind::tuple;
        uint32_t ref = kind == Kind::text_tuple ? items[0].ref : 0;
        uint8_t depth = 1;
        for (const Item& item : items)
            if (item.is_tuple()) depth = std::max<uint8_t>(depth, item.depth + 1);
        if (depth > max_tuple_depth)
            throw Refusal{"tuples nested deeper than " + std::to_string(max_tuple_depth), false};
        nb::object obj;
        if (building()) {
            obj = nb::steal(PyTuple_New((Py_ssize_t) items.size()));
            if (!obj.is_valid()) throw nb::python_error();
            for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(obj.ptr(), (Py_ssize_t) i, items[i].obj.release().ptr());
        }
        push(obj, kind, ref, depth);
    }

    void tuple(size_t n) {
        std::vector<Item> items(n);
        for (size_t i = n; i-- > 0;) items[i] = pop();
        make_tuple(items);
    }

    void tuple_to_mark() {
        std::vector<Item> items = pop_to_mark();
        make_tuple(items);
    }

    // What APPENDS, SETITEMS and ADDITEMS fill: the value below the items, of the kind they fill.
    Value& target(Kind kind, uint8_t allow, const char* what) {
        Value& value = top();
        bool ok = value.kind == kind || (value.kind == Kind::made && (allowed(made_[value.ref].role) & allow));
        if (!ok && !listing_) throw Refusal{std::string(what) + " into a value it cannot fill", false};
        return value;
    }

    void append(bool many) {
        std::vector<Item> items;
        if (many) items = pop_to_mark();
        else items.push_back(pop());
        Value& list = target(Kind::list, 0, many ? "APPENDS" : "APPEND");
        charge((long long) items.size(), slot_cost * (long long) items.size());
        for (const Item& item : items) consumed(item);
        if (!building()) return;
        for (const Item& item : items)
            if (PyList_Append(list.obj, item.obj.ptr()) < 0) throw nb::python_error();
    }

    void setitems(bool many) {
        std::vector<Item> items;
        if (many) {
            items = pop_to_mark();
            if (items.size() % 2 && !listing_) throw Refusal{"SETITEMS with an odd number of items", false};
        } else {
            Item value = pop();
            Item key = pop();
            items.push_back(std::move(key));
            items.push_back(std::move(value));
        }
        Value& mapping = target(Kind::dict, allow_items, many ? "SETITEMS" : "SETITEM");
        charge((long long) items.size() / 2, entry_cost * (long long) items.size() / 2);
        for (const Item& item : items) consumed(item);
        if (!building()) return;
        bool exact = mapping.kind == Kind::dict;
        // a Bunch serves its keys as attributes (and a caller's mapping class may too): none may be a
        // name looked up on the instance
        bool attributes = !exact;
        for (size_t i = 0; i + 1 < items.size(); i += 2) {
            if (attributes && PyUnicode_CheckExact(items[i].obj.ptr())) {
                std::string why = refused_attribute(nb::handle(), items[i].obj.ptr());
                if (!why.empty()) throw Refusal{"a key of a mapping that serves attributes: " + why, false};
            }
            ctx_.hash_guard(mapping.obj, items[i].obj.ptr());
            int status = exact ? PyDict_SetItem(mapping.obj, items[i].obj.ptr(), items[i + 1].obj.ptr())
                               : PyObject_SetItem(mapping.obj, items[i].obj.ptr(), items[i + 1].obj.ptr());
            if (status < 0) throw nb::python_error();
        }
    }

    void additems() {
        std::vector<Item> items = pop_to_mark();
        Value& set = target(Kind::set, 0, "ADDITEMS");
        charge((long long) items.size(), entry_cost * (long long) items.size());
        for (const Item& item : items) consumed(item);
        if (!building()) return;
        for (const Item& item : items) {
            ctx_.hash_guard(set.obj, item.obj.ptr());
            if (PySet_Add(set.obj, item.obj.ptr()) < 0) throw nb::python_error();
        }
    }

    void frozenset() {
        std::vector<Item> items = pop_to_mark();
        charge(1 + (long long) items.size(), value_cost + entry_cost * (long long) items.size());
        for (const Item& item : items) consumed(item);
        nb::object obj;
        if (building()) {
            obj = nb::steal(PyFrozenSet_New(nullptr));
            if (!obj.is_valid()) throw nb::python_error();
            for (const Item& item : items) {
                ctx_.hash_guard(obj.ptr(), item.obj.ptr());
                if (PySet_Add(obj.ptr(), item.obj.ptr()) < 0) throw nb::python_error();
            }
        }
        push(obj, Kind::plain, 0);
    }

    // ---- the memo: a vector that grows by its next index only ---------------------------------
    void put(uint64_t index) {
        if (index != memo_.size()) throw Refusal{"memo key out of order", false};
        Value& value = top();
        charge(1, memo_cost);
        Py_XINCREF(value.obj);
        memo_.push_back(value);
    }

    void get(uint64_t index) {
        if (index >= memo_.size()) {
            if (!listing_) throw Refusal{"memo key not yet defined", false};
            return push({}, Kind::plain, 0);
        }
        charge(1, 0);
        Value value = memo_[index];
        Py_XINCREF(value.obj);
        stack_.push_back(value);
    }

    // ---- payloads: strings, byte strings and long integers, read as the pieces come ------------
    void begin_payload(unsigned char op, const OpInfo& op_info, uint64_t length, unsigned long long start,
                       size_t header) {
        // the length is the stream's claim: the budget is charged before anything is reserved for it
        if (length > (uint64_t) budget_.max_bytes) charge(0, budget_.max_bytes + 1);
        check_frame(start + header + length);
        bool refused = op_info.refused || (op_info.protocol > protocol_);
        if (op_info.refused) note(op_info.name, false);
        else if (op_info.protocol > protocol_)
            note(std::string(op_info.name) + " in a protocol " + std::to_string(protocol_) + " stream", false);
        if (op == 0x8b && (length >> 31)) throw Refusal{"LONG4 of a negative length", true};
        charge(1, value_cost + (long long) length);
        payload_ = Payload();
        payload_.op = op;
        payload_.left = payload_.length = length;
        payload_.refused = refused;
        payload_.text = op == 'X' || op == 0x8c || op == 0x8d;
        payload_.keep = !refused && ((payload_.text && (length <= name_cap || building())) ||
                                     ((op == 0x8a || op == 0x8b) && building()));
        if (building() && !refused && (op == 'B' || op == 'C' || op == 0x8e || op == 0x96)) {
            payload_.target = nb::steal(op == 0x96 ? PyByteArray_FromStringAndSize(nullptr, (Py_ssize_t) length)
                                                   : PyBytes_FromStringAndSize(nullptr, (Py_ssize_t) length));
            if (!payload_.target.is_valid()) throw nb::python_error();
            payload_.write = op == 0x96 ? PyByteArray_AS_STRING(payload_.target.ptr())
                                        : PyBytes_AS_STRING(payload_.target.ptr());
        }
        if (length == 0) end_payload(nullptr, 0);
    }

    size_t take_payload(const unsigned char* data, size_t size) {
        size_t n = (size_t) std::min<uint64_t>(payload_.left, size);
        if (payload_.text) payload_.utf8.feed(data, n);
        if (payload_.write) {
            std::memcpy(payload_.write, data, n);
            payload_.write += n;
        }
        payload_.left -= n;
        pos_ += n;
        if (payload_.left > 0) {
            if (payload_.keep) payload_.gathered.append((const char*) data, n);
            return n;
        }
        // the whole argument in this piece: read in place
        if (payload_.keep && payload_.gathered.empty()) {
            run_end(data, n);
        } else {
            if (payload_.keep) payload_.gathered.append((const char*) data, n);
            run_end((const unsigned char*) payload_.gathered.data(), payload_.gathered.size());
        }
        return n;
    }

    void run_end(const unsigned char* data, size_t size) {
        try {
            end_payload(data, size);
        } catch (Refusal& refusal) {
            note(refusal.what, refusal.fatal);
        } catch (nb::python_error& error) {
            built_with_error(error);
        }
    }

    void end_payload(const unsigned char* data, size_t size) {
        if (!data) data = (const unsigned char*) "";
        Payload payload = std::move(payload_);
        payload_ = Payload();
        if (payload.refused) return push({}, Kind::plain, 0);
        if (payload.text && !payload.utf8.valid()) throw Refusal{"a string that is not UTF-8", false};
        bool short_text = payload.text && payload.length <= name_cap;
        if (short_text) texts_.emplace_back((const char*) data, size);
        nb::object obj;
        if (building()) {
            if (payload.text) {
                obj = nb::steal(PyUnicode_DecodeUTF8((const char*) data, (Py_ssize_t) size, "surrogatepass"));
            } else if (payload.op == 0x8a || payload.op == 0x8b) {
                obj = size == 0 ? nb::steal(PyLong_FromLong(0))
                                : nb::steal(PyLong_FromNativeBytes(data, size, Py_ASNATIVEBYTES_LITTLE_ENDIAN));
            } else {
                obj = std::move(payload.target);
            }
            if (!obj.is_valid()) throw nb::python_error();
        }
        push(obj, short_text ? Kind::text : Kind::plain, short_text ? (uint32_t) (texts_.size() - 1) : 0);
    }

    // ---- globals: exact pairs of the table, or of the caller's `trusted` names ----------------
    uint32_t global_record(const std::string& module, const std::string& name) {
        std::string key = module + '\n' + name;
        auto found = global_index_.find(key);
        if (found != global_index_.end()) return found->second;
        uint32_t index = (uint32_t) globals_.size();
        global_index_.emplace(std::move(key), index);
        GlobalRecord record;
        int listed = find_entry(module, name);
        const TrustedName* added = nullptr;
        for (const TrustedName& trusted : trusted_)
            if (listed < 0 && trusted.module == module && trusted.name == name) added = &trusted;
        // a dotted name is an attribute walk, which nothing listed is: shown as module:qualname
        record.seen.name = listed >= 0                             ? full_name(entry(listed))
                           : name.find('.') != std::string::npos ? module + ":" + name
                                                                  : module + "." + name;
        record.seen.trusted = listed >= 0 || added;
        if (listed >= 0) record.role = entry(listed).role, record.entry = listed;
        else if (added) record.role = Role::trusted;
        globals_.push_back(std::move(record));
        if (!globals_.back().seen.trusted) {
            note(globals_.back().seen.name, false, true);
        } else if (building()) {
            // resolved once, when the stream first names it
            try {
                if (listed >= 0) {
                    globals_[index].object = resolve(ctx_, entry(listed));
                } else {
                    int as_entry = -1;
                    globals_[index].object = resolve_trusted(ctx_, *added, as_entry);
                    if (as_entry >= 0) globals_[index].role = entry(as_entry).role, globals_[index].entry = as_entry;
                }
            } catch (nb::python_error& error) {
                globals_[index].seen.trusted = false;
                built_with_error(error);
            }
        }
        return index;
    }

    void push_global(const std::string& module, const std::string& name) {
        uint32_t record = global_record(module, name);
        charge(1, 0);
        push(globals_[record].object, Kind::global, record);
    }

    void global_line(const unsigned char* arg, size_t size) {
        const unsigned char* newline = find_newline(arg, size);
        std::string module((const char*) arg, (size_t) (newline - arg));
        std::string name((const char*) newline + 1, (size_t) (arg + size - (newline + 1) - 1));
        push_global(module, name);
    }

    void stack_global() {
        Item name = pop();
        Item module = pop();
        if (module.kind != Kind::text || name.kind != Kind::text) {
            if (!listing_) throw Refusal{"STACK_GLOBAL without string constants", false};
            return push({}, Kind::plain, 0);
        }
        push_global(texts_[module.ref], texts_[name.ref]);
    }

    // ---- calls and states ------------------------------------------------------------------
    uint32_t add_made(uint32_t global, Role role = Role::reference) {
        made_.push_back({global, role, (allowed(role) & allow_build) != 0});
        return (uint32_t) (made_.size() - 1);
    }

    void reduce() {
        Item args = pop();
        Item callable = pop();
        consumed(args);
        Role role = Role::reference;
        uint32_t global = no_global;
        const char* name = "a value";
        if (callable.kind == Kind::global) {
            global = callable.ref;
            globals_[global].seen.uses |= use_reduce;
            role = globals_[global].role;
            name = globals_[global].seen.name.c_str();
        } else if (callable.kind == Kind::listed_type) {
            role = entry((int) callable.ref).role;
            name = entry((int) callable.ref).name;
        }
        if (listing_) return push({}, Kind::made, global == no_global ? add_made(no_global) : add_made(global, role));
        if (!(allowed(role) & allow_reduce)) throw Refusal{std::string("REDUCE of ") + name, false};
        if (!args.is_tuple()) throw Refusal{std::string("REDUCE of ") + name + " without an argument tuple", false};
        if (role == Role::load_type) return load_type(args);
        nb::object made;
        if (building()) {
            if (role == Role::trusted) {
                made = nb::steal(PyObject_Call(callable.obj.ptr(), args.obj.ptr(), nullptr));
                if (!made.is_valid()) throw nb::python_error();
            } else {
                int index = callable.kind == Kind::listed_type ? (int) callable.ref : globals_[global].entry;
                made = construct(ctx_, entry(index), args.obj);
            }
        }
        charge(1, value_cost);
        push(made, Kind::made, add_made(global, role));
    }

    // dill's type table, for the plain data types and partial only: the type it serves is the listed
    // entry's, with that entry's narrowed steps.
    void load_type(const Item& args) {
        if (args.kind != Kind::text_tuple) throw Refusal{"dill._dill._load_type of a value that is not a name", false};
        const std::string& name = texts_[args.ref];
        int index = load_type_entry(name);
        if (index < 0) throw Refusal{"dill._dill._load_type('" + name + "')", false};
        charge(1, 0);
        push(building() ? resolve(ctx_, entry(index)) : nb::object(), Kind::listed_type, (uint32_t) index);
    }

    void newobj() {
        Item args = pop();
        Item cls = pop();
        consumed(args);
        if (cls.kind != Kind::global) {
            if (!listing_) throw Refusal{"NEWOBJ of a value that is not a listed class", false};
            return push({}, Kind::made, add_made(no_global));
        }
        GlobalRecord& record = globals_[cls.ref];
        record.seen.uses |= use_newobj;
        Role role = record.role;
        if (listing_) return push({}, Kind::made, add_made(cls.ref, role));
        if (!(allowed(role) & allow_newobj)) throw Refusal{"NEWOBJ of " + record.seen.name, false};
        if (!(args.kind == Kind::empty_tuple || (role == Role::trusted && args.is_tuple())))
            throw Refusal{"NEWOBJ of " + record.seen.name + " with arguments", false};
        nb::object made;
        if (building()) {
            if (!PyType_Check(cls.obj.ptr()) || !((PyTypeObject*) cls.obj.ptr())->tp_new)
                throw Refusal{"NEWOBJ of " + record.seen.name + ", which is not a class", false};
            PyTypeObject* type = (PyTypeObject*) cls.obj.ptr();
            made = nb::steal(type->tp_new(type, args.obj.ptr(), nullptr));
            if (!made.is_valid()) throw nb::python_error();
        }
        charge(1, value_cost);
        push(made, Kind::made, add_made(cls.ref, role));
    }

    // BUILD: the one state an object its maker lets take one, applied by that maker's rule.
    void build_op() {
        Item state = pop();
        consumed(state);
        Value& target = top();
        if (target.kind == Kind::made && made_[target.ref].global != no_global)
            globals_[made_[target.ref].global].seen.uses |= use_build;
        if (listing_) return;
        if (target.kind != Kind::made || !made_[target.ref].build_pending)
            throw Refusal{"BUILD of a value that takes no state", false};
        made_[target.ref].build_pending = false;
        if (building()) build(ctx_, made_[target.ref].role, target.obj, state.obj);
    }
};

Interpreter::Interpreter(const py::Call& g, Mode mode, Budget budget, std::vector<TrustedName> trusted)
    : impl_(std::make_unique<Impl>(g, mode, budget, std::move(trusted))) {}
Interpreter::~Interpreter() = default;
void Interpreter::feed(const unsigned char* data, size_t size) { impl_->feed(data, size); }
bool Interpreter::reading() const { return impl_->reading(); }
Outcome Interpreter::finish() { return impl_->finish(); }
Context& Interpreter::context() { return impl_->context(); }

}  // namespace korva::utils::safeload
