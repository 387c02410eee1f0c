// Python face of the remote input fetcher: the Haulix class.
#include "pyglue/py_text.hpp"
#include "pyglue/pyglue.hpp"
#include "common/fileops.hpp"
#include "haulix/cache.hpp"
#include "haulix/digest.hpp"
#include "haulix/fetch.hpp"
#include "haulix/resume.hpp"
#include "haulix/zenodo.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace nb = nanobind;
namespace py = tavro::py;

namespace tavro::haulix {
namespace {

constexpr const char* kModule = "tavro.helpers.haulix";
constexpr const char* kLogger = "tavro.helpers.haulix";
constexpr const char* kZenodoDomain = "zenodo.org";
constexpr const char* kDropboxDomain = "dropbox.com";
constexpr int kTimeout = 120;
// Large enough that the per-call cost of the Python reader vanishes, small
// enough that the socket-to-file copy stays in the CPU cache (1 MiB chunks
// were markedly slower on a 1 GiB loopback download).
constexpr Py_ssize_t kChunk = 256 << 10;
// Record metadata larger than this is not read.
constexpr Py_ssize_t kMetadataMax = 64 << 20;
// Progress of a long download: first after this many seconds, then at this
// interval (module attributes of the same names override them).
constexpr double kProgressAfter = 5.0;
constexpr double kProgressEvery = 10.0;

using Clock = std::chrono::steady_clock;

struct Haulix {};

nb::object link_pattern(const char* prefix, const char* domain) {
  nb::object escaped = py::module_attr("re", "escape")(domain);
  return nb::str("{}{}/.+").format(prefix, escaped);
}

bool matches(const char* prefix, const char* domain, nb::handle value) {
  nb::object pattern = link_pattern(prefix, domain);
  return !py::module_attr("re", "match")(pattern, value).is_none();
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
    if (closed || !response.is_valid()) return;
    // Runs while an error unwinds: keep the indicator of anything in flight.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      response.attr("close")();
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("closing a failed download");
    } catch (...) {
    }
    PyErr_Restore(type, value, trace);
  }
};

// The download settings of one call, read from the object's attributes.
struct Settings {
  bool verify = true;
  RetryPolicy policy;
  double progress_after = kProgressAfter;
  double progress_every = kProgressEvery;
};

double non_negative(nb::handle value, const char* name) {
  double d = py::as_double(value);
  if (!(d >= 0) || d == std::numeric_limits<double>::infinity()) {
    nb::object msg = nb::str("{} must be a finite number of seconds >= 0, not {!r}").format(name, value);
    py::raise(PyExc_ValueError, msg);
  }
  return d;
}

int retry_count(nb::handle value) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    nb::object msg = nb::str("retries must be an int, not {}").format(nb::type_name(value.type()));
    py::raise(PyExc_TypeError, msg);
  }
  long n = PyLong_AsLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  if (n < 0 || n > 1000) {
    nb::object msg = nb::str("retries must be between 0 and 1000, not {}").format(value);
    py::raise(PyExc_ValueError, msg);
  }
  return static_cast<int>(n);
}

Settings read_settings(nb::handle self) {
  Settings s;
  nb::object verify = self.attr("verify");
  s.verify = py::truthy(verify);
  nb::object retries = self.attr("retries");
  s.policy.retries = retry_count(retries);
  nb::object backoff = self.attr("backoff");
  s.policy.backoff = non_negative(backoff, "backoff");
  nb::object max_wait = self.attr("max_wait");
  s.policy.max_wait = non_negative(max_wait, "max_wait");
  nb::object module = nb::module_::import_(kModule);
  nb::object after = nb::getattr(module, "_progress_after", nb::none());
  if (!after.is_none()) s.progress_after = py::as_double(after);
  nb::object every = nb::getattr(module, "_progress_every", nb::none());
  if (!every.is_none()) s.progress_every = py::as_double(every);
  return s;
}

// A header of a response (or of an HTTP error), as text; empty when absent.
std::string header(nb::handle headers, const char* name) {
  if (headers.is_none()) return {};
  nb::object value = headers.attr("get")(name);
  if (!PyUnicode_Check(value.ptr())) return {};
  return py::text_bytes(value);
}

// The answer to one request, as far as resuming and checking it go.
struct Answer {
  RangeAnswer range;
  // The body length announced, and whether it is beyond what a file can
  // hold (a Content-Length of 2^63 or more): such a body can only end short.
  bool oversize = false;
  nb::object length;  // the announced length as the response gives it, or None
};

Answer read_answer(nb::handle response) {
  Answer a;
  nb::object status = nb::getattr(response, "status", nb::none());
  a.range.status = 200;
  if (PyLong_CheckExact(status.ptr())) {
    long s = PyLong_AsLong(status.ptr());
    if (s == -1 && PyErr_Occurred()) PyErr_Clear();
    else a.range.status = static_cast<int>(s);
  }
  nb::object headers = nb::getattr(response, "headers", nb::none());
  a.range.validator.etag = header(headers, "ETag");
  a.range.validator.last_modified = header(headers, "Last-Modified");
  a.range.content_range = header(headers, "Content-Range");
  a.length = nb::getattr(response, "length", nb::none());
  if (PyLong_CheckExact(a.length.ptr())) {
    unsigned long long n = PyLong_AsUnsignedLongLong(a.length.ptr());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      // Negative lengths never get here (http.client drops them): too large.
      a.oversize = true;
    } else if (n > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
      a.oversize = true;
    } else {
      a.range.length = n;
    }
  } else {
    a.length = nb::none();
  }
  return a;
}

// An exception object as a python_error, to be raised (or retried) like
// the errors the URL opener raises.
nb::python_error as_error(nb::handle exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  return nb::python_error();
}

// http.client.IncompleteRead for a body that ended after `got` bytes of
// `expected` (a Python int: it may exceed any C++ integer).
nb::python_error incomplete(nb::handle link, std::uint64_t got, nb::handle expected) {
  // The partial body is on disk, not in memory: the exception carries no
  // bytes, the note says how far the body came.
  nb::object got_obj = nb::int_(got);
  nb::object missing = expected - got_obj;
  nb::object cls = py::module_attr("http.client", "IncompleteRead");
  nb::object exc = cls(nb::bytes("", 0), missing);
  if (nb::hasattr(exc, "add_note")) {
    nb::object note = nb::str("the body of {} ended after {} of {} bytes").format(link, got_obj, expected);
    exc.attr("add_note")(note);
  }
  return as_error(exc);
}

// The status code of an HTTPError, 0 for anything else.
long http_status(nb::handle exc);

bool is_a(nb::handle exc, const char* module, const char* name) {
  nb::object cls = py::module_attr(module, name);
  return py::is_instance(exc, cls);
}

// Whether a failed request or read is worth another attempt: connection
// errors and time-outs, a connection closed mid-body, and the answers 408,
// 429 and 5xx. `*retry_after` gets the wait such an answer asked for.
bool transient(nb::handle exc, std::optional<double>* retry_after);

std::optional<double> parse_retry_after(nb::handle headers) {
  std::string text = header(headers, "Retry-After");
  if (text.empty()) return std::nullopt;
  if (auto secs = retry_after_seconds(text)) return secs;
  // An HTTP date: the wait is the time until then.
  try {
    nb::object value = py::bytes_text(text);
    nb::object when = py::module_attr("email.utils", "parsedate_to_datetime")(value);
    nb::object tz = when.attr("tzinfo");
    if (tz.is_none()) {
      nb::object utc = py::module_attr("datetime", "timezone").attr("utc");
      when = when.attr("replace")(nb::arg("tzinfo") = utc);
      tz = utc;
    }
    nb::object now = py::module_attr("datetime", "datetime").attr("now")(tz);
    nb::object delta = when - now;
    double secs = py::as_double(delta.attr("total_seconds")());
    return secs > 0 ? secs : 0.0;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

long http_status(nb::handle exc) {
  if (!is_a(exc, "urllib.error", "HTTPError")) return 0;
  nb::object code_obj = nb::getattr(exc, "code", nb::none());
  if (!PyLong_Check(code_obj.ptr())) return -1;
  long code = PyLong_AsLong(code_obj.ptr());
  if (code == -1 && PyErr_Occurred()) PyErr_Clear();
  return code;
}

bool transient(nb::handle exc, std::optional<double>* retry_after) {
  if (long code = http_status(exc)) {
    if (code != 408 && code != 429 && (code < 500 || code > 599)) return false;
    nb::object headers = nb::getattr(exc, "headers", nb::none());
    *retry_after = parse_retry_after(headers);
    return true;
  }
  // A certificate the client refuses stays refused.
  if (is_a(exc, "ssl", "SSLCertVerificationError")) return false;
  if (is_a(exc, "urllib.error", "URLError")) {
    nb::object reason = nb::getattr(exc, "reason", nb::none());
    return py::is_instance(reason, PyExc_OSError) && !is_a(reason, "ssl", "SSLCertVerificationError");
  }
  return py::is_instance(exc, PyExc_OSError) || is_a(exc, "http.client", "IncompleteRead") ||
         is_a(exc, "http.client", "BadStatusLine");
}

nb::object reason_text(nb::handle exc) {
  nb::object name = nb::getattr(exc.type(), "__name__", nb::str("error"));
  nb::object text = nb::str(exc);
  return nb::str("{}: {}").format(name, text);
}

// One download in progress: the part file, what its bytes belong to, and
// the digest of them when the download is checked.
struct Transfer {
  nb::handle key;
  nb::handle link;
  std::string record_path;
  Record record;
  PartFile& part;
  std::optional<Hasher> hasher;
  std::uint64_t hashed = 0;  // bytes of the part file that `hasher` has seen
  Validator validator;
  std::optional<std::uint64_t> total;
  Settings settings;
  Clock::time_point started = Clock::now();
  Clock::time_point next_report;
  std::uint64_t received = 0;  // bytes that arrived in this call

  void restart() {
    part.restart();
    if (hasher) hasher->reset();
    hashed = 0;
  }

  // Brings the digest up to the end of the part file (bytes kept from an
  // earlier attempt of another process are read back once).
  void catch_up() {
    if (!hasher || hashed >= part.size()) return;
    nb::gil_scoped_release nogil;
    hash_range(*hasher, part.fd(), hashed, part.size(), part.final_path());
    hashed = part.size();
  }

  void write(const char* data, std::size_t size) {
    part.write(data, size);
    if (hasher) {
      hasher->update(data, size);
      hashed += size;
    }
    received += size;
  }

  void report_progress() {
    const auto now = Clock::now();
    if (now < next_report) return;
    next_report = now + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(settings.progress_every));
    if (!py::log_enabled(kLogger, py::INFO)) return;
    const double secs = std::chrono::duration<double>(now - started).count();
    const double rate = secs > 0 ? static_cast<double>(received) / secs / (1 << 20) : 0.0;
    nb::object mib = nb::float_(static_cast<double>(static_cast<long long>(rate * 10 + 0.5)) / 10);
    if (total)
      py::log(kLogger, py::INFO, "Progress of %s: %s of %s bytes at %s MiB/s", key, part.size(), *total, mib);
    else
      py::log(kLogger, py::INFO, "Progress of %s: %s bytes at %s MiB/s", key, part.size(), mib);
  }

  // Notes in the record what the bytes of the part file belong to, so that
  // a later call can go on with them after a crash.
  void note_part() {
    if (!part.resumable()) return;
    const bool resumable_body = !if_range_value(validator).empty();
    if (!resumable_body && !record.part) return;
    record.part = PartInfo{validator, total};
    if (!resumable_body) record.part.reset();
    nb::gil_scoped_release nogil;
    write_record(record_path, record);
  }
};

// The part of a chunk of `size` bytes that still belongs to the body: a
// server may send more than it announced.
std::size_t within_body(const Transfer& t, Py_ssize_t size) {
  std::uint64_t n = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  if (t.total) n = std::min(n, *t.total > t.part.size() ? *t.total - t.part.size() : 0);
  return static_cast<std::size_t>(n);
}

bool body_done(const Transfer& t) { return t.total && t.part.size() >= *t.total; }

// Read buffers in flight: one being filled while those before it are still
// being hashed.
constexpr int kSlots = 4;

// Streams the body of `response` onto the part file. readinto() fills
// reused buffers; a checked body is hashed on a worker thread, slot by slot,
// while the next buffer is filled. Responses without readinto() are read in
// chunks of the same size and hashed in line.
void stream_body(Transfer& t, nb::handle response) {
  nb::object readinto = nb::getattr(response, "readinto", nb::none());
  if (readinto.is_none()) {
    nb::object read = response.attr("read");
    while (!body_done(t)) {
      nb::object chunk = read(kChunk);
      Py_buffer view;
      if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
      struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
      } release{&view};
      if (view.len == 0) break;
      {
        nb::gil_scoped_release nogil;
        t.write(static_cast<const char*>(view.buf), within_body(t, view.len));
      }
      t.report_progress();
    }
    return;
  }
  const int slots = t.hasher ? kSlots : 1;
  nb::object buffer = nb::steal(PyByteArray_FromStringAndSize(nullptr, kChunk * slots));
  if (!buffer.is_valid()) throw nb::python_error();
  char* base = PyByteArray_AS_STRING(buffer.ptr());
  nb::object views[kSlots];
  if (slots == 1) {
    views[0] = buffer;
  } else {
    nb::object whole = nb::steal(PyMemoryView_FromObject(buffer.ptr()));
    if (!whole.is_valid()) throw nb::python_error();
    for (int i = 0; i < slots; ++i) {
      nb::object slice = nb::steal(PySlice_New(nb::int_(i * kChunk).ptr(), nb::int_((i + 1) * kChunk).ptr(), nullptr));
      if (!slice.is_valid()) throw nb::python_error();
      views[i] = whole[slice];
    }
  }
  // Declared after the buffer, so destroyed (having hashed all it was given)
  // before the buffer is.
  std::optional<HashWorker> worker;
  if (t.hasher) worker.emplace(*t.hasher);
  for (int i = 0; !body_done(t); i = (i + 1) % slots) {
    nb::object got = readinto(views[i]);
    Py_ssize_t n = got.is_none() ? 0 : PyLong_AsSsize_t(got.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n <= 0) break;
    const char* data = base + static_cast<std::size_t>(i) * kChunk;
    const std::size_t size = within_body(t, std::min<Py_ssize_t>(n, kChunk));
    {
      nb::gil_scoped_release nogil;
      t.part.write(data, size);
      t.received += size;
      if (worker) {
        worker->submit(i, data, size);
        t.hashed += size;
        worker->wait_free((i + 1) % slots);
      }
    }
    t.report_progress();
  }
  if (worker) {
    nb::gil_scoped_release nogil;
    worker->sync();
  }
}

nb::object open_link(nb::handle link, std::uint64_t offset, const Validator& v) {
  nb::object urlopen = py::module_attr("urllib.request", "urlopen");
  if (offset == 0) return urlopen(link, nb::arg("timeout") = kTimeout);
  nb::dict headers;
  headers["Range"] = nb::str(("bytes=" + std::to_string(offset) + "-").c_str());
  headers["If-Range"] = py::bytes_text(if_range_value(v));
  nb::object request = py::module_attr("urllib.request", "Request")(link, nb::arg("headers") = headers);
  return urlopen(request, nb::arg("timeout") = kTimeout);
}

// Fetches the body of the link into the part file, retrying transient
// failures and going on from the bytes already there where the server
// allows it. The last error goes up unchanged when the retries run out.
void fetch(Transfer& t) {
  int failures = 0;
  // Decides about a failed attempt: waits and returns when it is retried,
  // else raises the error.
  auto retry_or_raise = [&](nb::python_error& e) {
    std::optional<double> retry_after;
    if (!e.matches(PyExc_Exception) || !transient(e.value(), &retry_after) ||
        failures >= t.settings.policy.retries)
      throw std::move(e);
    ++failures;
    const double wait = retry_wait(t.settings.policy, failures, retry_after);
    nb::object reason = reason_text(e.value());
    nb::object wait_obj = nb::float_(static_cast<double>(static_cast<long long>(wait * 100 + 0.5)) / 100);
    py::log(kLogger, py::WARNING, "Download of %s failed (%s); retry %s of %s in %s s", t.key, reason,
            failures, t.settings.policy.retries, wait_obj);
    py::module_attr("time", "sleep")(wait);
  };

  for (;;) {
    const std::uint64_t offset = if_range_value(t.validator).empty() ? 0 : t.part.size();
    if (offset == 0 && t.part.size() > 0) t.restart();
    ResponseGuard guard;
    try {
      guard.response = open_link(t.link, offset, t.validator);
    } catch (nb::python_error& e) {
      if (offset > 0 && http_status(e.value()) == 416) {
        // The range is past the end: the body is not the one we have.
        py::log(kLogger, py::INFO, "Restarting %s from byte 0: %s", t.key, "the server refused the range");
        t.restart();
        continue;
      }
      retry_or_raise(e);
      continue;
    }
    Answer a = read_answer(guard.response);
    if (offset > 0) {
      std::optional<std::uint64_t> answer_total;
      std::string why = refuse_resume(a.range, offset, t.total, t.validator, &answer_total);
      if (why.empty()) {
        py::log(kLogger, py::INFO, "Resuming %s at byte %s", t.key, offset);
        t.total = answer_total;
        t.catch_up();
        a.oversize = false;  // the Content-Range, checked above, gives the length
      } else {
        py::log(kLogger, py::INFO, "Restarting %s from byte 0: %s", t.key, py::bytes_text(why));
        t.restart();
        if (a.range.status == 206) {
          // A partial answer of no use: ask for the whole body at once.
          guard.close();
          t.validator = Validator{};
          continue;
        }
      }
    }
    if (t.part.size() == 0) {
      t.validator = a.range.validator;
      t.total = a.oversize ? std::nullopt : a.range.length;
      t.note_part();
    }
    try {
      stream_body(t, guard.response);
    } catch (nb::python_error& e) {
      retry_or_raise(e);
      continue;
    }
    // A connection closed early looks like the end of the body to a reader
    // that asks for chunks; only the count against the length tells.
    if (a.oversize) {
      // A length no file can hold is never met: not retried, nothing kept.
      nb::python_error e = incomplete(t.link, t.part.size(), a.length);
      t.part.discard();
      throw std::move(e);
    }
    if (t.total && t.part.size() < *t.total) {
      nb::object expected = nb::int_(*t.total);
      nb::python_error e = incomplete(t.link, t.part.size(), expected);
      retry_or_raise(e);
      continue;
    }
    guard.close();
    return;
  }
}

// The text of `obj` when it is a str.
std::optional<std::string> text_of(nb::handle obj) {
  if (!PyUnicode_Check(obj.ptr())) return std::nullopt;
  return py::text_bytes(obj);
}

// The files that record metadata (json.loads of the answer) lists: under
// "files", a list of entries named by "key" or "filename", or (as under
// "files"."entries") a mapping from names to entries.
std::vector<ListedFile> listed_files(nb::handle doc) {
  std::vector<ListedFile> out;
  if (!PyDict_Check(doc.ptr())) return out;
  PyObject* listed = PyDict_GetItemString(doc.ptr(), "files");
  if (!listed) return out;
  nb::object files = nb::borrow(listed);
  if (PyDict_Check(files.ptr())) {
    PyObject* entries = PyDict_GetItemString(files.ptr(), "entries");
    if (entries) files = nb::borrow(entries);
  }
  auto checksum_of = [](nb::handle entry) -> std::optional<std::string> {
    PyObject* sum = PyDict_GetItemString(entry.ptr(), "checksum");
    return sum ? text_of(sum) : std::nullopt;
  };
  if (PyList_Check(files.ptr())) {
    for (nb::handle entry : files) {
      if (!PyDict_Check(entry.ptr())) continue;
      for (const char* field : {"key", "filename"}) {
        PyObject* name = PyDict_GetItemString(entry.ptr(), field);
        if (auto text = name ? text_of(name) : std::nullopt) out.push_back({*text, checksum_of(entry)});
      }
    }
  } else if (PyDict_Check(files.ptr())) {
    PyObject *name, *entry;
    Py_ssize_t pos = 0;
    while (PyDict_Next(files.ptr(), &pos, &name, &entry)) {
      auto text = text_of(name);
      if (text && PyDict_Check(entry)) out.push_back({*text, checksum_of(entry)});
    }
  }
  return out;
}

// The checksum the link's Zenodo record publishes for its file, or nothing
// (with one warning) when the metadata cannot be had.
std::optional<Checksum> zenodo_checksum(nb::handle key, nb::handle link) {
  nb::object parts = py::module_attr("urllib.parse", "urlsplit")(link);
  nb::object path = parts.attr("path");
  std::optional<RecordFile> file = record_file(py::text_bytes(path));
  if (!file) return std::nullopt;
  nb::object scheme = parts.attr("scheme");
  nb::object netloc = parts.attr("netloc");
  nb::object api_path = py::bytes_text(record_api_path(*file));
  nb::object api = nb::str("{}://{}{}").format(scheme, netloc, api_path);
  nb::object escaped_name = py::bytes_text(file->name);
  nb::object name = py::module_attr("urllib.parse", "unquote")(escaped_name);
  std::string why;
  try {
    nb::dict headers;
    headers["Accept"] = "application/json";
    nb::object request = py::module_attr("urllib.request", "Request")(api, nb::arg("headers") = headers);
    ResponseGuard guard{py::module_attr("urllib.request", "urlopen")(request, nb::arg("timeout") = kTimeout)};
    nb::object body = guard.response.attr("read")(kMetadataMax + 1);
    guard.close();
    if (!PyBytes_Check(body.ptr())) {
      why = "the metadata answer is not bytes";
    } else if (PyBytes_GET_SIZE(body.ptr()) > kMetadataMax) {
      why = "the metadata is too large";
    } else {
      nb::object doc = py::module_attr("json", "loads")(body);
      std::optional<Checksum> sum = record_checksum(listed_files(doc), py::text_bytes(name), &why);
      if (sum) return sum;
    }
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    nb::object reason = reason_text(e.value());
    why = py::text_bytes(reason);
  }
  nb::object why_text = py::bytes_text(why);
  py::log(kLogger, py::WARNING, "No checksum for %s from %s (%s); the download is not verified", key, api,
          why_text);
  return std::nullopt;
}

[[noreturn]] void raise_mismatch(nb::handle link, const Checksum& expected, const std::string& actual,
                                 std::uint64_t received) {
  nb::object algorithm = py::bytes_text(expected.algorithm);
  nb::object want = py::bytes_text(expected.hex);
  nb::object got = py::bytes_text(actual);
  nb::object count = nb::int_(received);
  nb::object msg = nb::str("checksum mismatch for {}: expected {} {}, got {} after {} bytes")
                       .format(link, algorithm, want, got, count);
  nb::object cls = py::module_attr(kModule, "ChecksumError");
  nb::object exc = cls(msg);
  exc.attr("link") = link;
  exc.attr("algorithm") = algorithm;
  exc.attr("expected") = want;
  exc.attr("actual") = got;
  exc.attr("received") = count;
  py::raise_instance(exc);
}

std::optional<std::pair<std::uint64_t, std::int64_t>> file_stamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return std::pair<std::uint64_t, std::int64_t>{
      static_cast<std::uint64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// A cache hit whose record holds a checksum: the file is hashed again only
// when its size or time is no longer the recorded one. False when it no
// longer matches.
bool still_verified(const Placement& where) {
  const Record& r = *where.record;
  auto stamp = file_stamp(where.path);
  if (!stamp || !r.checksum || (r.size == stamp->first && r.mtime_ns == stamp->second)) return true;
  std::string actual;
  {
    nb::gil_scoped_release nogil;
    actual = hash_file(where.path, r.checksum->algorithm);
  }
  if (actual != r.checksum->hex) {
    nb::object path = py::fs_decode(where.path);
    nb::object algorithm = py::bytes_text(r.checksum->algorithm);
    py::log(kLogger, py::WARNING, "Cached %s no longer matches its %s checksum; downloading it again", path,
            algorithm);
    return false;
  }
  Record updated = r;
  updated.size = stamp->first;
  updated.mtime_ns = stamp->second;
  try {
    nb::gil_scoped_release nogil;
    write_record(where.record_path, updated);
  } catch (const OsError&) {
    // Only costs hashing the file again next time.
  }
  return true;
}

void init(Haulix* t, nb::handle temp_dir, nb::handle verify, nb::handle retries, nb::handle backoff,
          nb::handle max_wait) {
  retry_count(retries);
  non_negative(backoff, "backoff");
  non_negative(max_wait, "max_wait");
  new (t) Haulix();
  nb::handle self = nb::find(t);
  self.attr("temp_dir") = temp_dir;
  self.attr("verify") = verify;
  self.attr("retries") = retries;
  self.attr("backoff") = backoff;
  self.attr("max_wait") = max_wait;
  py::module_attr("os", "makedirs")(temp_dir, nb::arg("exist_ok") = true);
}

nb::object resolve_zenodo_dropbox(nb::handle self, nb::handle key, nb::handle value) {
  py::require_str(key, "key");
  if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);
  const bool zenodo = matches("https?://", kZenodoDomain, value);
  const bool dropbox = matches("https?://(www\\.)?", kDropboxDomain, value);
  if (!zenodo && !dropbox) return nb::borrow(value);
  Settings settings = read_settings(self);

  nb::object link = dropbox ? nb::object(py::bytes_text(dropbox_download_link(py::text_bytes(value))))
                            : nb::borrow(value);
  nb::object parts = py::module_attr("urllib.parse", "urlsplit")(link);
  nb::object path = parts.attr("path");
  nb::object segment = path.attr("rpartition")("/")[2];
  std::string name = cache_name(py::fs_encode(segment), py::fs_encode(key));
  nb::object folder = self.attr("temp_dir");
  // The link's own subfolder, used when another link took the name first.
  nb::object link_bytes = py::to_bytes(py::text_bytes(link));
  nb::object digest = py::module_attr("hashlib", "sha256")(link_bytes);
  nb::object hexdigest = digest.attr("hexdigest")();
  std::string hash = nb::cast<std::string>(hexdigest).substr(0, 16);
  std::string dir = py::fs_encode(folder), target = py::text_bytes(link);
  Placement where = py::without_gil([&](const std::function<bool()>&) {
    return place(dir, name, target, hash);
  });
  nb::object join = py::module_attr("os.path", "join");
  nb::object file_name = py::fs_decode(name);
  nb::object cache_path = join(folder, file_name);
  if (where.path != dir + "/" + name) {
    nb::object subfolder = nb::str("#") + nb::str(hash.c_str());
    cache_path = join(folder, subfolder, file_name);
  }

  if (where.cached && (!where.record || still_verified(where))) {
    py::log(kLogger, py::INFO, "Using cached download for %s: %s", key, cache_path);
    return cache_path;
  }
  py::log(kLogger, py::INFO, "Downloading %s: %s", key, value);
  // The part file first: a cache path the folder cannot hold fails before
  // any byte is transferred.
  PartFile part(py::fs_encode(cache_path), where.part_path);
  const Clock::time_point started = Clock::now();
  Transfer t{key, link, where.record_path, where.record.value_or(Record{target, {}, {}, {}, {}}), part,
             std::nullopt, 0, {}, std::nullopt, settings, started,
             started + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(settings.progress_after)),
             0};
  std::optional<Checksum> expected;
  if (zenodo && settings.verify) expected = zenodo_checksum(key, link);
  if (expected) t.hasher.emplace(expected->algorithm);
  // Bytes a killed process left behind belong to this link's body as the
  // record describes it; without such a description they are dropped.
  if (part.resumable() && part.size() > 0) {
    const std::optional<PartInfo>& kept = t.record.part;
    if (kept && !if_range_value(kept->validator).empty() && (!kept->total || part.size() < *kept->total)) {
      t.validator = kept->validator;
      t.total = kept->total;
    } else {
      part.restart();
    }
  }

  try {
    fetch(t);
    if (expected) {
      std::string actual = t.hasher->hex_digest();
      if (actual != expected->hex) {
        part.discard();
        raise_mismatch(link, *expected, actual, part.size());
      }
      py::log(kLogger, py::DEBUG, "Verified %s: %s", key, py::bytes_text(format_checksum(*expected)));
    }
  } catch (nb::python_error& e) {
    // Bytes of a body that is gone, refused or taken over by another caller
    // are of no use; after a transient failure or an interrupt they are
    // kept for the next call.
    std::optional<double> ignored;
    if ((e.matches(PyExc_Exception) && !transient(e.value(), &ignored)) || fs::exists(t.part.final_path()))
      part.discard();
    throw;
  }
  std::pair<std::uint64_t, std::int64_t> stamp;
  {
    nb::gil_scoped_release nogil;
    stamp = part.commit();
  }
  Record done{target, expected, stamp.first, stamp.second, std::nullopt};
  try {
    nb::gil_scoped_release nogil;
    write_record(where.record_path, done);
  } catch (const OsError& e) {
    nb::object msg = nb::str(std::strerror(e.err()));
    py::log(kLogger, py::WARNING, "Could not record the download of %s: %s", key, msg);
  }
  py::log(kLogger, py::INFO, "Saved to %s", cache_path);
  return cache_path;
}

}  // namespace

void bind_haulix(nb::module_& m) {
  nb::object base = nb::borrow(PyExc_ValueError);
  PyObject* checksum_error = PyErr_NewExceptionWithDoc(
      "tavro.helpers.haulix.ChecksumError",
      "A download whose content does not have the checksum its record publishes.", base.ptr(), nullptr);
  if (!checksum_error) throw nb::python_error();
  m.attr("ChecksumError") = nb::steal(checksum_error);

  nb::class_<Haulix> cls(m, "Haulix", nb::dynamic_attr(),
                         "Downloads Zenodo and Dropbox links once into a local cache folder.");
  cls.def("__init__", &init, nb::arg("temp_dir").none() = nb::none(), nb::kw_only(),
          nb::arg("verify") = true, nb::arg("retries") = 5, nb::arg("backoff") = 1.0,
          nb::arg("max_wait") = 60.0,
          nb::sig("def __init__(self, temp_dir: str | None = None, *, verify: bool = True, retries: int = 5, "
                  "backoff: float = 1.0, max_wait: float = 60.0) -> None"),
          "Use `temp_dir` (created if missing) as the download cache. Transient failures are retried "
          "`retries` times, waiting `backoff` seconds, doubled for each retry, at most `max_wait`; "
          "`verify=False` skips checking Zenodo files against their record's checksums.")
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
