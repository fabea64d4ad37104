#include "tablescope/table_tags.hpp"

#include "tablescope/state.hpp"

namespace tablescope::table_tags {

using frame::Handle;
using frame::Ref;

int tag(Handle df, Handle table_name) noexcept {
    if (!frame::ready(df, table_name)) return -1;
    if (PyObject_GenericSetAttr(df.ptr(), n::name.ptr(), table_name.ptr()) < 0) return -1;
    return frame::setitem(df.attr(n::attrs).value(), n::name, table_name);
}

int restore(Handle loaded, Handle DataFrame) noexcept {
    if (!frame::ready(loaded, DataFrame)) return -1;
    if (!PyList_CheckExact(loaded.ptr())) return 0;
    Ref it = frame::steal(PyObject_GetIter(loaded.ptr()));
    if (!it) return -1;
    while (Ref df = frame::steal(PyIter_Next(it.ptr()))) {
        int is_frame = PyObject_IsInstance(df.ptr(), DataFrame.ptr());
        if (is_frame < 0) return -1;
        if (!is_frame) continue;
        Ref attrs = df.attr(n::attrs);
        if (!attrs) return -1;
        if (!PyDict_Check(attrs.ptr())) continue;
        Ref table_name = frame::borrow(PyDict_GetItemWithError(attrs.ptr(), n::name.ptr()));
        if (!table_name) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        if (PyObject_GenericSetAttr(df.ptr(), n::name.ptr(), table_name.ptr()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tablescope::table_tags
