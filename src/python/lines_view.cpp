// Lines leave a native call as views of the buffer they were written to, not
// as a new bytes object: megabytes of fresh pages per call cost more kernel
// time than the conversion's own copies. Once the writer has dropped the
// view, the buffer, its pages still mapped, goes back for the next call.
#include "python/lines_view.hpp"

#include <utility>

#include "core/kept_buffers.hpp"

namespace tessarin::columns {

namespace {

// Enough for two threads' runs, a call's views still being written and the
// next call's buffers at once.
constexpr std::size_t kKeptBufferBytes = 16 << 20;
using BufferPool = KeptBuffers<ByteBuffer, 24>;

BufferPool& buffer_pool() {
    static BufferPool pool;
    return pool;
}

struct LinesObject {
    PyObject_HEAD ByteBuffer buffer;
};

LinesObject* as_lines(PyObject* self) { return reinterpret_cast<LinesObject*>(self); }

int lines_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const ByteBuffer& buffer = as_lines(self)->buffer;
    return PyBuffer_FillInfo(view, self, const_cast<char*>(buffer.data()), static_cast<Py_ssize_t>(buffer.size()), 1,
                             flags);
}

void lines_dealloc(PyObject* self) {
    LinesObject* lines = as_lines(self);
    const std::size_t used = lines->buffer.size();
    keep_buffer(std::move(lines->buffer), used);
    lines->buffer.~ByteBuffer();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kLinesSlots[] = {
    {Py_tp_doc, const_cast<char*>("JSON Lines written by a native call, read through memoryview.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(lines_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(lines_getbuffer)},
    {0, nullptr},
};

PyType_Spec kLinesSpec{"tessarin_feeds._columns.Lines", sizeof(LinesObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, kLinesSlots};

}  // namespace

ByteBuffer take_kept_buffer() {
    return buffer_pool().take([](const ByteBuffer&) { return true; });
}

void keep_buffer(ByteBuffer&& buffer, std::size_t used) noexcept {
    // A buffer whose bytes were moved out has no room worth keeping.
    if (used > kKeptBufferBytes || buffer.data() == nullptr) return;
    buffer.clear();
    buffer_pool().keep(std::move(buffer));
}

PyObject* new_lines_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kLinesSpec, nullptr); }

PyObject* lines_view(PyObject* lines_type, ByteBuffer&& buffer) {
    auto* type = reinterpret_cast<PyTypeObject*>(lines_type);
    py::PyRef self = py::PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_lines(self.get())->buffer) ByteBuffer(std::move(buffer));
    return PyMemoryView_FromObject(self.get());
}

}  // namespace tessarin::columns
