// Creation and execution of an extension module built on the frame
// (multi-phase initialisation). A module describes itself with one
// ModuleInfo (`module_info`) and ends its sources with FRAME_MODULE_INIT.
#pragma once

#include "frame/state.hpp"

namespace frame {

// The two slots of the module definition.
PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept;
int exec_module(PyObject* module) noexcept;

}  // namespace frame

// Defines the module definition and the exported init function.
#define FRAME_MODULE_INIT(short_name)                                              \
    static PyModuleDef_Slot frame_slots_[] = {                                     \
        {Py_mod_create, reinterpret_cast<void*>(::frame::create_module)},          \
        {Py_mod_exec, reinterpret_cast<void*>(::frame::exec_module)},              \
        {0, nullptr}};                                                             \
    static PyMethodDef frame_methods_[] = {{nullptr, nullptr, 0, nullptr}};        \
    static PyModuleDef frame_def_ = {PyModuleDef_HEAD_INIT, #short_name, nullptr, \
                                     0, frame_methods_, frame_slots_,              \
                                     nullptr, nullptr, nullptr};                   \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##short_name() { \
        return PyModuleDef_Init(&frame_def_);                                      \
    }
