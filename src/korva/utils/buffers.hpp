// Byte-string plumbing for the payload stages: joining two pieces without a second copy of the
// first, and writable windows onto a result that a C-level writer fills before anyone sees it.
#pragma once

#include "korva/py/glue.hpp"

namespace korva::utils::buffers {

namespace nb = nanobind;

// `a + b` for the owner of `a`. When both are plain bytes and nothing else references `a`, `b` is
// appended to `a` in place (its storage grows); otherwise the interpreter's own `+` runs. The
// result is equal either way; only the copy of `a` is saved.
nb::object concat(nb::object a, nb::handle b);

// A new bytes object of `size` bytes whose content the caller writes before publishing it.
nb::object allocate(Py_ssize_t size);

// A writable memoryview of `size` bytes at `offset` in the unpublished bytes object `target`,
// released by close() once the writer is done, or when the window goes out of scope (the writer
// raised). The view does not own `target`: only writers known to keep nothing of the view past
// their call may be given one (the callers trust the cryptography package's own compiled cipher
// context, by exact type and original method). Should an export of the view outlive the call all
// the same, `target` is left to it for good (never resized or freed under it).
class Window {
public:
    Window(nb::handle target, Py_ssize_t offset, Py_ssize_t size);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    nb::handle view() const { return view_; }

    // Releases the view. When an export still holds it, `target` (the window's) is replaced by a
    // copy of its bytes, which its owner may resize, while the original stays with the export.
    void close(nb::object& target);

private:
    bool release();  // false when the view is still exported; the target is then kept alive

    nb::object view_;
    nb::handle target_;
};

// Shrinks the unpublished, solely owned bytes object `target` to `size` bytes.
void shrink(nb::object& target, Py_ssize_t size);

}  // namespace korva::utils::buffers
