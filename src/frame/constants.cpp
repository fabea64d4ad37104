#include "frame/constants.hpp"

#include <cstring>

namespace frame {

namespace {
// Registration lists, appended to in declaration order while the shared
// library's static objects are constructed.
Name* names_head = nullptr;
Name** names_tail = &names_head;
Text* texts_head = nullptr;
Text** texts_tail = &texts_head;
Int* ints_head = nullptr;
Int** ints_tail = &ints_head;
Builtin* builtins_head = nullptr;
Builtin** builtins_tail = &builtins_head;
Keywords* keywords_head = nullptr;
Keywords** keywords_tail = &keywords_head;
}  // namespace

void Keywords::enlist() noexcept {
    *keywords_tail = this;
    keywords_tail = &next_;
}

Name::Name(const char* text) noexcept : text_(text), next_(nullptr) {
    *names_tail = this;
    names_tail = &next_;
}

Text::Text(const char* utf8) noexcept : utf8_(utf8), next_(nullptr) {
    *texts_tail = this;
    texts_tail = &next_;
}

Int::Int(long value) noexcept : value_(value), next_(nullptr) {
    *ints_tail = this;
    ints_tail = &next_;
}

Builtin::Builtin(Name& name) noexcept : name_(name), next_(nullptr) {
    *builtins_tail = this;
    builtins_tail = &next_;
}

int create_constants() noexcept {
    for (Name* n = names_head; n; n = n->next_) {
        if (n->p_) continue;
        n->p_ = PyUnicode_InternFromString(n->text_);
        if (!n->p_) return -1;
        if (PyObject_Hash(n->p_) == -1) return -1;
    }
    for (Text* t = texts_head; t; t = t->next_) {
        if (t->p_) continue;
        t->p_ = PyUnicode_FromString(t->utf8_);
        if (!t->p_ || PyObject_Hash(t->p_) == -1) return -1;
    }
    for (Int* i = ints_head; i; i = i->next_) {
        if (i->p_) continue;
        i->p_ = PyLong_FromLong(i->value_);
        if (!i->p_) return -1;
    }
    for (Keywords* k = keywords_head; k; k = k->next_) {
        if (k->p_) continue;
        PyObject* names = PyTuple_New(k->count_);
        if (!names) return -1;
        for (int i = 0; i < k->count_; i++)
            PyTuple_SET_ITEM(names, i, Py_NewRef(k->names_[i]->ptr()));
        k->p_ = names;
    }
    return 0;
}

int cache_builtins() noexcept {
    for (Builtin* b = builtins_head; b; b = b->next_) {
        PyObject* v = PyObject_GetAttr(state.builtins, b->name_.ptr());
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", b->name_.ptr());
            }
            return -1;
        }
        Py_XSETREF(b->p_, v);
    }
    return 0;
}

void forget_builtins() noexcept {
    for (Builtin* b = builtins_head; b; b = b->next_) b->p_ = nullptr;
}

}  // namespace frame
