// Method declarations and the one argument binder of the binding.
//
// Each Python method is declared once, as a constexpr Method: its name, its
// parameters (name, the field of the method's argument struct that receives
// the converted value, the default) and its documentation. From that one
// declaration come the docstring with its text signature (doc_of), the
// binding of a call's arguments into the struct (bind) and the exact TypeError
// texts of a call that does not fit. A parameter's kind follows from its
// field's type:
//   std::string_view                   str; required, or with a text default
//   std::optional<std::string_view>    str or None; None counts as left out
//   uint32_t / uint64_t                int in range, with an integer default
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform.h"
#include "pyref.h"

namespace vrell::py {

// The class whose methods these are: errors name them "VrellMesh.<name>()",
// and the constructor's docstring signature is "VrellMesh(...)".
inline constexpr const char kClassName[] = "VrellMesh";

enum class ParamKind : unsigned char { Str, OptStr, U32, U64 };

template <class Args>
struct Param {
  const char* name;
  ParamKind kind;
  bool required;
  std::string_view text_default;  // Str with a default
  uint64_t int_default;           // U32 / U64
  std::string_view Args::*str = nullptr;
  std::optional<std::string_view> Args::*opt_str = nullptr;
  uint32_t Args::*u32 = nullptr;
  uint64_t Args::*u64 = nullptr;
};

// A required str parameter.
template <class A>
constexpr Param<A> param(const char* name, std::string_view A::*field) {
  return {name, ParamKind::Str, true, {}, 0, field};
}
// A str parameter with a text default (None refused).
template <class A>
constexpr Param<A> param(const char* name, std::string_view A::*field, const char* text_default) {
  return {name, ParamKind::Str, false, text_default, 0, field};
}
// A str-or-None parameter whose default is None.
template <class A>
constexpr Param<A> param(const char* name, std::optional<std::string_view> A::*field) {
  return {name, ParamKind::OptStr, false, {}, 0, nullptr, field};
}
template <class A>
constexpr Param<A> param(const char* name, uint32_t A::*field, uint32_t int_default) {
  return {name, ParamKind::U32, false, {}, int_default, nullptr, nullptr, field};
}
template <class A>
constexpr Param<A> param(const char* name, uint64_t A::*field, uint64_t int_default) {
  return {name, ParamKind::U64, false, {}, int_default, nullptr, nullptr, nullptr, field};
}

// No parameters: the argument struct of methods that take none.
struct NoArgs {};

template <class A, size_t N>
struct Method {
  using Args = A;
  static constexpr size_t kParams = N;
  const char* name;
  std::array<Param<A>, N> params;
  const char* doc;
  bool is_constructor = false;  // its signature names no $self

  // Required parameters come first, as in any Python signature.
  constexpr size_t required() const {
    size_t n = 0;
    while (n < N && params[n].required) ++n;
    for (size_t i = n; i < N; ++i) {
      if (params[i].required) throw "a required parameter after an optional one";
    }
    return n;
  }
};

template <class A, class... P>
constexpr Method<A, sizeof...(P)> method(const char* name, const char* doc, P... params) {
  return {name, {params...}, doc};
}
template <class A, class... P>
constexpr Method<A, sizeof...(P)> constructor(const char* name, const char* doc, P... params) {
  return {name, {params...}, doc, true};
}
constexpr Method<NoArgs, 0> method(const char* name, const char* doc) { return {name, {}, doc}; }

// --- Docstrings --------------------------------------------------------------

namespace detail {

// Appends through a counting cursor, so that one function both sizes and
// writes the docstring at compile time.
struct DocWriter {
  char* out;  // null while sizing
  size_t n = 0;
  constexpr void put(char c) {
    if (out != nullptr) out[n] = c;
    ++n;
  }
  constexpr void put(std::string_view s) {
    for (char c : s) put(c);
  }
  constexpr void put_uint(uint64_t v) {
    char digits[20] = {};
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0) put(digits[--k]);
  }
};

// "name($self, a, b=0, c=None, d=\"x\")\n--\n\n" + doc.
template <class M>
constexpr size_t write_doc(const M& m, char* out) {
  DocWriter w{out};
  w.put(m.is_constructor ? kClassName : m.name);
  w.put('(');
  if (!m.is_constructor) w.put("$self");
  for (size_t i = 0; i < M::kParams; ++i) {
    const auto& p = m.params[i];
    if (i > 0 || !m.is_constructor) w.put(", ");
    w.put(p.name);
    if (p.required) continue;
    w.put('=');
    switch (p.kind) {
      case ParamKind::Str:
        for (char c : p.text_default) {
          if (c == '"' || c == '\\') throw "a text default that would need escaping";
        }
        w.put('"');
        w.put(p.text_default);
        w.put('"');
        break;
      case ParamKind::OptStr:
        w.put("None");
        break;
      case ParamKind::U32:
      case ParamKind::U64:
        w.put_uint(p.int_default);
        break;
    }
  }
  w.put(")\n--\n\n");
  w.put(m.doc);
  w.put('\0');
  return w.n;
}

template <const auto& M>
struct DocText {
  static constexpr size_t kSize = write_doc(M, nullptr);
  static constexpr std::array<char, kSize> make() {
    std::array<char, kSize> made{};
    write_doc(M, made.data());
    return made;
  }
  static constexpr std::array<char, kSize> text = make();
};

}  // namespace detail

// The docstring of a declared method: its text signature, then its documentation.
template <const auto& M>
constexpr const char* doc_of() {
  return detail::DocText<M>::text.data();
}

// --- Binding ----------------------------------------------------------------

// What the generic part of binding needs to know of a declaration.
struct Shape {
  const char* name;  // the method's name; texts read "VrellMesh.<name>()"
  const char* const* params;
  int nparams;
  int nrequired;
};

// Matches positional and keyword arguments to parameters: objs[i] is the
// argument for parameter i, or null when it was left out. Raises the exact
// TypeError of a call that does not fit and returns false.
bool collect(const Shape& shape, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** objs);

// Conversions of one argument; each raises the error that names the parameter
// and returns false when the argument does not convert.
bool to_text_slow(PyObject* o, const char* name, PyObject* unicode_error, std::string_view* out);
inline bool to_text(PyObject* o, const char* name, PyObject* unicode_error, std::string_view* out) {
  // Compact ASCII text, most arguments, is its own UTF-8.
  if (platform::kFastPaths && PyUnicode_Check(o) && PyUnicode_IS_COMPACT_ASCII(o)) {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
    return true;
  }
  return to_text_slow(o, name, unicode_error, out);
}
bool to_unsigned(PyObject* o, const char* name, uint64_t max, PyObject* unicode_error,
                 uint64_t* out);

namespace detail {
template <const auto& M>
struct Names {
  static_assert(M.kParams <= 16, "collect() reports at most 16 missing parameters");
  static constexpr auto make() {
    std::array<const char*, M.kParams == 0 ? 1 : M.kParams> made{};
    for (size_t i = 0; i < M.kParams; ++i) made[i] = M.params[i].name;
    return made;
  }
  static constexpr auto names = make();
  static constexpr Shape shape{M.name, names.data(), static_cast<int>(M.kParams),
                               static_cast<int>(M.required())};
};

// Converts parameter I's argument (null when it was left out) into its
// field. Each parameter's kind and field are constants here, so every
// method's binding compiles to straight-line code for its own parameters.
template <const auto& M, size_t I>
bool bind_param(PyObject* o, typename std::remove_cvref_t<decltype(M)>::Args& out,
                PyObject* unicode_error) {
  constexpr auto& p = M.params[I];
  if constexpr (p.kind == ParamKind::Str) {
    if (o == nullptr) {
      out.*p.str = p.text_default;  // required ones were checked by collect
      return true;
    }
    return to_text(o, p.name, unicode_error, &(out.*p.str));
  } else if constexpr (p.kind == ParamKind::OptStr) {
    if (o == nullptr || o == Py_None) {
      out.*p.opt_str = std::nullopt;
      return true;
    }
    return to_text(o, p.name, unicode_error, &(out.*p.opt_str).emplace());
  } else {
    constexpr uint64_t max = p.kind == ParamKind::U32 ? 0xFFFFFFFFu : ~uint64_t{0};
    uint64_t v = p.int_default;
    if (o != nullptr && !to_unsigned(o, p.name, max, unicode_error, &v)) return false;
    if constexpr (p.kind == ParamKind::U32) {
      out.*p.u32 = static_cast<uint32_t>(v);
    } else {
      out.*p.u64 = v;
    }
    return true;
  }
}

// (Methods without parameters leave the arguments unused.)
template <const auto& M, size_t... I>
bool bind_params([[maybe_unused]] PyObject* const* objs,
                 [[maybe_unused]] typename std::remove_cvref_t<decltype(M)>::Args& out,
                 [[maybe_unused]] PyObject* unicode_error, std::index_sequence<I...>) {
  return (bind_param<M, I>(objs[I], out, unicode_error) && ...);
}

// The same for positional arguments alone: the first `nargs` given, the
// required ones among them.
template <const auto& M, size_t... I>
bool bind_positional([[maybe_unused]] PyObject* const* args, [[maybe_unused]] Py_ssize_t nargs,
                     [[maybe_unused]] typename std::remove_cvref_t<decltype(M)>::Args& out,
                     [[maybe_unused]] PyObject* unicode_error, std::index_sequence<I...>) {
  constexpr size_t kRequired = M.required();
  return (bind_param<M, I>(I < kRequired || static_cast<Py_ssize_t>(I) < nargs ? args[I] : nullptr,
                           out, unicode_error) &&
          ...);
}

}  // namespace detail

// Binds a vectorcall argument vector into `out`, defaults included. On failure
// the Python error is set and false returned; `out` is then unspecified. Text
// that cannot be encoded raises `unicode_error` (new_unicode_error_class()).
template <const auto& M>
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          typename std::remove_cvref_t<decltype(M)>::Args& out, PyObject* unicode_error) {
  constexpr size_t N = M.kParams;
  if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(M.required()) &&
      nargs <= static_cast<Py_ssize_t>(N)) {
    // Positional arguments that fit, the usual call: nothing to match.
    return detail::bind_positional<M>(args, nargs, out, unicode_error,
                                      std::make_index_sequence<N>());
  }
  std::array<PyObject*, N == 0 ? 1 : N> objs{};
  if (!collect(detail::Names<M>::shape, args, nargs, kwnames, objs.data())) return false;
  return detail::bind_params<M>(objs.data(), out, unicode_error, std::make_index_sequence<N>());
}

// UTF-8 view of a str, or nullptr with an exception set (UnicodeEncodeError).
inline const char* utf8_of(PyObject* s, Py_ssize_t* len) {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    *len = PyUnicode_GET_LENGTH(s);
    return static_cast<const char*>(PyUnicode_DATA(s));
  }
  return PyUnicode_AsUTF8AndSize(s, len);
}

// A new UnicodeEncodeError subclass whose text starts with the argument's
// name (the host's own class formats its text itself and takes no prefix).
PyObject* new_unicode_error_class();

}  // namespace vrell::py
