// What korva keeps for each interpreter rather than in process-wide statics: objects made at first
// use and held in the interpreter's own dict, which the interpreter clears when it is finalised.
#pragma once

#include "korva/py/glue.hpp"

#include <memory>

namespace korva::py {

// The object kept under `key` for the running interpreter, made by `make` at its first use (an
// error of `make` propagates and nothing is kept). Needs the GIL.
nb::object interpreter_value(const char* key, nb::object (*make)());

// The same lookup without making anything: invalid when nothing is kept under `key` (or the
// interpreter's dict is gone, as late in its finalisation). Runs no Python code.
nb::object interpreter_value_if_made(const char* key);

namespace detail {
nb::object capsule_of(void* pointer, const char* key, void (*destroy)(void*));
void* capsule_pointer(nb::handle capsule, const char* key);
}  // namespace detail

// A C++ object of the running interpreter, default-constructed at first use. It is shared, so a
// thread that outlives the interpreter's dict (one parked at exit) may keep using it.
template <class T>
std::shared_ptr<T> interpreter_object(const char* key) {
    nb::object capsule = interpreter_value(key, [] {
        auto* held = new std::shared_ptr<T>(std::make_shared<T>());
        return detail::capsule_of(held, nullptr, [](void* p) { delete static_cast<std::shared_ptr<T>*>(p); });
    });
    return *static_cast<std::shared_ptr<T>*>(detail::capsule_pointer(capsule, nullptr));
}

// The same, empty when it was never made.
template <class T>
std::shared_ptr<T> interpreter_object_if_made(const char* key) {
    nb::object capsule = interpreter_value_if_made(key);
    if (!capsule.is_valid()) return nullptr;
    return *static_cast<std::shared_ptr<T>*>(detail::capsule_pointer(capsule, nullptr));
}

}  // namespace korva::py
