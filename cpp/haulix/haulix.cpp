// Python face of the remote input fetcher: the Haulix class.
#include "pyglue/py_text.hpp"
#include "pyglue/pyglue.hpp"
#include "haulix/cache.hpp"
#include "haulix/fetch.hpp"

#include <optional>

namespace nb = nanobind;
namespace py = tavro::py;

namespace tavro::haulix {
namespace {

constexpr const char* kLogger = "tavro.helpers.haulix";
constexpr const char* kZenodoDomain = "zenodo.org";
constexpr const char* kDropboxDomain = "dropbox.com";
constexpr int kTimeout = 120;
// Large enough that the per-call cost of the Python reader vanishes, small
// enough that the socket-to-file copy stays in the CPU cache (1 MiB chunks
// were markedly slower on a 1 GiB loopback download).
constexpr Py_ssize_t kChunk = 256 << 10;

struct Haulix {};

nb::object link_pattern(const char* prefix, const char* domain) {
  nb::object escaped = py::module_attr("re", "escape")(domain);
  return nb::str("{}{}/.+").format(prefix, escaped);
}

bool matches(const char* prefix, const char* domain, nb::handle value) {
  return !py::module_attr("re", "match")(link_pattern(prefix, domain), value).is_none();
}

// Closes the response on every path; on a failure path an error from close()
// must not replace the download's own error, which goes up unchanged.
struct ResponseGuard {
  nb::object response;
  bool closed = false;
  void close() {
    closed = true;
    response.attr("close")();
  }
  ~ResponseGuard() {
    if (closed) return;
    try {
      response.attr("close")();
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("closing a failed download");
    } catch (...) {
    }
  }
};

// The body length the server announced, when it announced one.
std::optional<std::uint64_t> announced_length(nb::handle response) {
  nb::object length = nb::getattr(response, "length", nb::none());
  if (!PyLong_CheckExact(length.ptr())) return std::nullopt;
  long long n = PyLong_AsLongLong(length.ptr());
  if (n < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(n);
}

[[noreturn]] void raise_incomplete(nb::handle link, std::uint64_t got, std::uint64_t expected) {
  // The partial body is on disk, not in memory, and is about to be removed:
  // the exception carries no bytes, the note says how far the body came.
  nb::object exc = py::module_attr("http.client", "IncompleteRead")(nb::bytes("", 0), expected - got);
  if (nb::hasattr(exc, "add_note"))
    exc.attr("add_note")(nb::str("the body of {} ended after {} of {} bytes").format(link, got, expected));
  py::raise_instance(exc);
}

void write_chunk(PartFile& part, nb::handle chunk, Py_ssize_t size) {
  Py_buffer view;
  if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  if (size < 0 || size > view.len) size = view.len;
  nb::gil_scoped_release nogil;
  part.write(static_cast<const char*>(view.buf), static_cast<std::size_t>(size));
}

// Streams the body of `link` into a part file and publishes it at
// `cache_path` only once all of it has arrived. Errors of the URL opener and
// of the response go up as the very same exception objects.
void download(nb::handle link, nb::handle cache_path) {
  PartFile part(py::fs_encode(cache_path));
  ResponseGuard guard{py::module_attr("urllib.request", "urlopen")(link, nb::arg("timeout") = kTimeout)};
  nb::handle response = guard.response;
  const std::optional<std::uint64_t> expected = announced_length(response);

  // readinto() fills one reused buffer; responses without it are read in
  // chunks of the same size.
  nb::object readinto = nb::getattr(response, "readinto", nb::none());
  if (!readinto.is_none()) {
    nb::object buffer = nb::steal(PyByteArray_FromStringAndSize(nullptr, kChunk));
    if (!buffer.is_valid()) throw nb::python_error();
    for (;;) {
      nb::object got = readinto(buffer);
      Py_ssize_t n = got.is_none() ? 0 : PyLong_AsSsize_t(got.ptr());
      if (n == -1 && PyErr_Occurred()) throw nb::python_error();
      if (n <= 0) break;
      write_chunk(part, buffer, n);
    }
  } else {
    nb::object read = response.attr("read");
    for (;;) {
      nb::object chunk = read(kChunk);
      Py_ssize_t n = PyObject_Length(chunk.ptr());
      if (n < 0) throw nb::python_error();
      if (n == 0) break;
      write_chunk(part, chunk, n);
    }
  }
  // A connection closed early looks like the end of the body to a reader
  // that asks for chunks; only the count against Content-Length tells.
  if (expected && part.size() < *expected) raise_incomplete(link, part.size(), *expected);
  guard.close();
  nb::gil_scoped_release nogil;
  part.commit();
}

void init(Haulix* t, nb::handle temp_dir) {
  new (t) Haulix();
  nb::handle self = nb::find(t);
  self.attr("temp_dir") = temp_dir;
  py::module_attr("os", "makedirs")(temp_dir, nb::arg("exist_ok") = true);
}

nb::object resolve_zenodo_dropbox(nb::handle self, nb::handle key, nb::handle value) {
  py::require_str(key, "key");
  if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);
  const bool zenodo = matches("https?://", kZenodoDomain, value);
  const bool dropbox = matches("https?://(www\\.)?", kDropboxDomain, value);
  if (!zenodo && !dropbox) return nb::borrow(value);

  nb::object link = dropbox ? nb::object(py::bytes_text(dropbox_download_link(py::text_bytes(value))))
                            : nb::borrow(value);
  nb::object path = py::module_attr("urllib.parse", "urlsplit")(link).attr("path");
  nb::object segment = path.attr("rpartition")("/")[2];
  std::string name = cache_name(py::fs_encode(segment), py::fs_encode(key));
  nb::object folder = self.attr("temp_dir");
  // The link's own subfolder, used when another link took the name first.
  nb::object digest = py::module_attr("hashlib", "sha256")(py::to_bytes(py::text_bytes(link)));
  std::string hash = nb::cast<std::string>(digest.attr("hexdigest")()).substr(0, 16);
  std::string dir = py::fs_encode(folder), target = py::text_bytes(link);
  Placement where = py::without_gil([&](const std::function<bool()>&) {
    return place(dir, name, target, hash);
  });
  nb::object cache_path = py::module_attr("os.path", "join")(folder, py::fs_decode(name));
  if (where.path != dir + "/" + name)
    cache_path = py::module_attr("os.path", "join")(folder, nb::str("#") + nb::str(hash.c_str()),
                                                    py::fs_decode(name));

  if (where.cached) {
    py::log(kLogger, py::INFO, "Using cached download for %s: %s", key, cache_path);
    return cache_path;
  }
  py::log(kLogger, py::INFO, "Downloading %s: %s", key, value);
  download(link, cache_path);
  py::log(kLogger, py::INFO, "Saved to %s", cache_path);
  return cache_path;
}

}  // namespace

void bind_haulix(nb::module_& m) {
  nb::class_<Haulix> cls(m, "Haulix", nb::dynamic_attr(),
                     "Downloads Zenodo and Dropbox links once into a local cache folder.");
  cls.def("__init__", &init, nb::arg("temp_dir").none() = nb::none(),
           nb::sig("def __init__(self, temp_dir: str | None = None) -> None"),
           "Use `temp_dir` (created if missing) as the download cache.")
      .def("resolve_zenodo_dropbox", &resolve_zenodo_dropbox, nb::arg("key").none(),
           nb::arg("value").none(),
           nb::sig("def resolve_zenodo_dropbox(self, key: str, value: object) -> object"),
           "Return the local path of a downloaded Zenodo or Dropbox link, or `value` unchanged.");
  py::expose_signature(cls);
}

}  // namespace tavro::haulix

NB_MODULE(haulix, m) {
  tavro::py::register_translators();
  m.attr("logger") = nb::module_::import_("logging").attr("getLogger")("tavro.helpers.haulix");
  tavro::haulix::bind_haulix(m);
}
