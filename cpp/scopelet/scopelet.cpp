#include "common/errors.hpp"
#include "pyglue/pyglue.hpp"
#include "common/text.hpp"
#include "scopelet/describe.hpp"

namespace nb = nanobind;
namespace py = tavro::py;
namespace core = tavro::scopelet;

namespace {

constexpr const char* kModule = "tavro.helpers.scopelet";

nb::str cat(std::initializer_list<nb::handle> parts) {
  nb::list l;
  for (nb::handle p : parts) l.append(p);
  return nb::borrow<nb::str>(nb::str("").attr("join")(l));
}

nb::str head_of(nb::handle s, Py_ssize_t n) {
  PyObject* r = PyUnicode_Substring(s.ptr(), 0, n);
  if (!r) throw nb::python_error();
  return nb::steal<nb::str>(r);
}

nb::str plain(nb::handle o) { return nb::str(o); }

// What a str names on disk; a string that cannot be a file name names nothing.
core::PathInfo stat_str(nb::handle value) {
  std::optional<std::string> path = py::fs_path_or_none(value);
  if (!path) return {};
  nb::gil_scoped_release nogil;
  return core::stat_path(*path);
}

// `head` output as text mode gives it (UTF-8, universal newlines), stripped
// and cut to `keep` characters; None when empty or undecodable.
std::optional<nb::str> preview(const std::optional<std::string>& raw, Py_ssize_t keep) {
  if (!raw) return std::nullopt;
  nb::object decoded;
  try {
    decoded = py::utf8_text(tavro::universal_newlines(*raw));
  } catch (nb::python_error&) {
    return std::nullopt;
  }
  nb::str stripped = nb::borrow<nb::str>(decoded.attr("strip")());
  if (!nb::len(stripped)) return std::nullopt;
  return head_of(stripped, keep);
}

void describe_dir(nb::handle label, nb::handle d, nb::handle lines) {
  nb::str name = plain(label);
  std::string dir = py::fs_encode(d);
  core::DirListing listing =
      py::without_gil([&](const core::AbortHook& abort) { return core::list_dir_block(dir, abort); });
  nb::list relative;
  for (const auto& r : listing.relative) relative.append(py::fs_decode(r));
  nb::object append = lines.attr("append");
  append(cat({nb::str("  "), name, nb::str(" = "), nb::repr(d), nb::str("  [directory, files: "),
              nb::repr(relative), nb::str("]")}));
  for (std::size_t i = 0; i < listing.previews.size(); ++i) {
    std::optional<nb::str> text = preview(listing.previews[i], 200);
    if (text) append(cat({nb::str("    "), nb::repr(relative[i]), nb::str(": "), *text}));
  }
}

nb::str build_scopelet(nb::handle data, nb::handle header) {
  py::require_dict(data, "data");
  py::require_str(header, "header");
  nb::list lines;
  lines.append(header);
  nb::object describe = py::module_attr(kModule, "_describe_dir");
  nb::list items = nb::steal<nb::list>(PyDict_Items(data.ptr()));
  for (nb::handle item : items) {
    nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0), value = PyTuple_GET_ITEM(item.ptr(), 1);
    nb::str k = plain(key);
    if (PyUnicode_Check(value.ptr())) {
      core::PathInfo info = stat_str(value);
      if (info.kind == core::Kind::Directory) {
        describe(key, value, lines);
        continue;
      }
      if (info.kind == core::Kind::File) {
        lines.append(cat({nb::str("  "), k, nb::str(" = "), nb::repr(value), nb::str("  [file, size: "),
                          nb::str(std::to_string(info.size).c_str()), nb::str(" bytes]")}));
        std::string path = py::fs_encode(value);
        std::optional<nb::str> text = preview(
            py::without_gil([&](const core::AbortHook& abort) {
              return core::head(path, core::kFileLines, abort);
            }),
            400);
        if (text) lines.append(cat({nb::str("    first 5 lines:\n      "), *text}));
        continue;
      }
    } else if (PyList_Check(value.ptr()) && py::truthy(value)) {
      nb::list elements;
      bool all_dirs = true;
      for (nb::handle x : value) {
        if (!PyUnicode_Check(x.ptr()) || stat_str(x).kind != core::Kind::Directory) {
          all_dirs = false;
          break;
        }
        elements.append(x);
      }
      nb::str count = plain(nb::int_(nb::len(value)));
      if (all_dirs) {
        lines.append(cat({nb::str("  "), k, nb::str(" = list of "), count, nb::str(" directories:")}));
        for (std::size_t i = 0; i < nb::len(elements); ++i)
          describe(cat({k, nb::str("["), nb::str(std::to_string(i).c_str()), nb::str("]")}),
                   elements[i], lines);
        continue;
      }
      nb::object first = value[0];
      if (PyUnicode_Check(first.ptr()) && stat_str(first).kind == core::Kind::File) {
        nb::object sample = nb::steal(PySequence_GetSlice(value.ptr(), 0, 3));
        if (!sample.is_valid()) throw nb::python_error();
        lines.append(cat({nb::str("  "), k, nb::str(" = list of "), count, nb::str(" files, e.g. "),
                          nb::repr(sample)}));
        continue;
      }
    }
    lines.append(cat({nb::str("  "), k, nb::str(" = "), head_of(nb::repr(value), 120)}));
  }
  return nb::borrow<nb::str>(nb::str("\n").attr("join")(lines));
}

}  // namespace

NB_MODULE(scopelet, m) {
  py::register_translators();
  m.def("build_scopelet", &build_scopelet, nb::arg("data").none(),
        nb::arg("header").none() = "ACTUAL UPSTREAM OUTPUT at runtime:",
        nb::sig("def build_scopelet(data: dict, header: str = 'ACTUAL UPSTREAM OUTPUT at runtime:') "
                "-> str"),
        "Describe a node's output map as prompt text: file sizes and first lines, directory "
        "listings with previews, and the quoted form of every other value.");
  m.def("_describe_dir", &describe_dir, nb::arg("label").none(), nb::arg("d").none(),
        nb::arg("lines").none(),
        nb::sig("def _describe_dir(label: object, d: str, lines: list) -> None"),
        "Append the block that describes directory `d` under the name `label` to `lines`.");
}
