// Classes made through the standard class-creation protocol from a
// declarative member list, in definition order.
#pragma once

#include <vector>

#include "pyrt/function.hpp"

namespace orv::pyrt {

struct MemberSpec {
  enum class Kind { kMethod, kProperty };
  Kind kind;
  FunctionSpec function;
  // Builds the __defaults__ tuple when the class body runs (null: none).
  py::object (*make_defaults)() = nullptr;
};

// A method; `defaults` builds the tuple of defaults for the last parameters.
inline MemberSpec Method(const char* name, std::vector<const char*> params, const char* doc,
                         Impl impl, py::object (*defaults)() = nullptr) {
  return {MemberSpec::Kind::kMethod, {name, std::move(params), doc, impl}, defaults};
}

// A method whose last parameter collects the remaining keywords.
inline MemberSpec MethodKw(const char* name, std::vector<const char*> params, const char* varkw,
                           const char* doc, Impl impl) {
  return {MemberSpec::Kind::kMethod, {name, std::move(params), doc, impl, varkw}, nullptr};
}

// A read-only property: the builtin property called with the getter alone.
inline MemberSpec Property(const char* name, const char* doc, Impl getter) {
  return {MemberSpec::Kind::kProperty, {name, {"self"}, doc, getter}, nullptr};
}

struct ClassSpec {
  const char* name;
  const char* doc;
  std::vector<const char*> bases;  // module-level names, looked up when the class is made
  std::vector<MemberSpec> members;
  bool needs_class_cell = false;  // methods use zero-argument super()
};

// Runs the class-creation protocol (base resolution through __mro_entries__,
// metaclass derivation and __prepare__, __orig_bases__ when a base was
// replaced, the __class__ cell) and returns the class. `property` is the
// builtin the module looked up at import.
py::object make_class(const ClassSpec& spec, py::handle globals, py::handle property);

}  // namespace orv::pyrt
