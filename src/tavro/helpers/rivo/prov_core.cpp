#include "rivo/prov_core.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "common/errors.hpp"

namespace tavro::rivo::prov {

// ---------------------------------------------------------------- TOML writer

std::string toml_string(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\b': out += "\\b"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += '\t'; break;  // the one control character TOML allows as is
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string toml_key(std::string_view k) {
  bool bare = !k.empty();
  for (char c : k) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) {
      bare = false;
      break;
    }
  }
  return bare ? std::string(k) : toml_string(k);
}

std::string toml_inline(const TomlValue& v) {
  switch (v.kind) {
    case TomlValue::Kind::Literal: return v.text;
    case TomlValue::Kind::String: return toml_string(v.text);
    case TomlValue::Kind::Array: {
      std::string out = "[";
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ", ";
        out += toml_inline(v.items[i]);
      }
      return out + "]";
    }
    case TomlValue::Kind::Table: {
      // Tables inside arrays have no place for a header: TOML's inline form
      // keeps them tables when read back.
      if (v.items.empty()) return "{}";
      std::string out = "{ ";
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ", ";
        out += toml_key(v.keys[i]) + " = " + toml_inline(v.items[i]);
      }
      return out + " }";
    }
  }
  return {};
}

namespace {

void emit_table(const std::string& prefix, const TomlValue& table, std::string& out) {
  if (!prefix.empty()) out += "[" + prefix + "]\n";
  bool scalars = false;
  for (size_t i = 0; i < table.items.size(); ++i) {
    if (table.items[i].kind == TomlValue::Kind::Table) continue;
    out += toml_key(table.keys[i]) + " = " + toml_inline(table.items[i]) + "\n";
    scalars = true;
  }
  if (!prefix.empty() || scalars) out += "\n";
  for (size_t i = 0; i < table.items.size(); ++i) {
    if (table.items[i].kind != TomlValue::Kind::Table) continue;
    std::string key = toml_key(table.keys[i]);
    emit_table(prefix.empty() ? key : prefix + "." + key, table.items[i], out);
  }
}

}  // namespace

std::string toml_document(const TomlValue& root) {
  std::string out;
  emit_table("", root, out);
  return out;
}

// ------------------------------------------------------------ Docker wrapper

namespace {

// Lines after the REAL_DOCKER assignment. Two changes to the obvious script:
// a "--gpus"/"--runtime" given last is dropped alone (a bare `shift 2` fails
// there without shifting, and the loop would spin forever), and the GPU
// environment file is renamed to a name derived from its content: the run
// ends in `exec`, so the wrapper never gets the chance to delete the file,
// and a fresh one per run would pile up in the temporary directory.
constexpr const char* kWrapperBody = R"SCRIPT("
if [ "$1" = "run" ]; then
    shift
    ARGS=()
    while [[ $# -gt 0 ]]; do
        case "$1" in
            --gpus|--runtime) shift; [ $# -gt 0 ] && shift ;;
            --gpus=*|--runtime=*) shift ;;
            *) ARGS+=("$1"); shift ;;
        esac
    done
    GPU=""
    for dev in /dev/nvidia*; do
        [ -c "$dev" ] && GPU="$GPU --device $dev:$dev"
    done
    if [ -n "$GPU" ]; then
        for lib in /usr/lib/x86_64-linux-gnu/libcuda.so* /usr/lib/x86_64-linux-gnu/libnvidia*.so*; do
            [ -e "$lib" ] && GPU="$GPU -v $lib:$lib:ro"
        done
        GPU="$GPU -e NVIDIA_VISIBLE_DEVICES=all -e NVIDIA_DRIVER_CAPABILITIES=all"
        IMAGE=""
        skip_next=0
        for tok in "${ARGS[@]}"; do
            if [ "$skip_next" = "1" ]; then skip_next=0; continue; fi
            case "$tok" in
                -v|-e|-w|--name|--mount|--env-file|--user|-u|--workdir|--entrypoint|--label|-l|--network|-p|--device)
                    skip_next=1; continue ;;
                -*) continue ;;
                *) IMAGE="$tok"; break ;;
            esac
        done
        MOUNT_HOST_CUDA=1
        if [ -n "$IMAGE" ]; then
            for d in /usr/local/cuda/lib64 /usr/local/cuda/targets/x86_64-linux/lib; do
                if "$REAL_DOCKER" run --rm --network=host --entrypoint "" "$IMAGE" \
                        sh -c "ls $d/libcudart.so* >/dev/null 2>&1" 2>/dev/null; then
                    MOUNT_HOST_CUDA=0
                    break
                fi
            done
        fi
        ENV_FILE=$(mktemp)
        echo 'XLA_FLAGS=--xla_gpu_cuda_data_dir=/usr/local/cuda' >> "$ENV_FILE"
        echo 'XLA_PYTHON_CLIENT_ALLOCATOR=platform' >> "$ENV_FILE"
        echo 'XLA_PYTHON_CLIENT_PREALLOCATE=false' >> "$ENV_FILE"
        echo "JAX_COMPILATION_CACHE_DIR=${PIPELINE_VOLUME_PATH:-/tmp}/.jax_cache" >> "$ENV_FILE"
        echo 'OMP_NUM_THREADS=4' >> "$ENV_FILE"
        echo 'OPENBLAS_NUM_THREADS=4' >> "$ENV_FILE"
        echo 'LD_LIBRARY_PATH=/usr/local/cuda/lib64:/usr/local/cuda/targets/x86_64-linux/lib:/usr/local/nvidia/lib:/usr/local/nvidia/lib64' >> "$ENV_FILE"
        ENV_SUM=$(sha256sum < "$ENV_FILE" 2>/dev/null | cut -c1-16)
        if [ -n "$ENV_SUM" ] && mv -f "$ENV_FILE" "${ENV_FILE%/*}/docker-gpu-env-$ENV_SUM" 2>/dev/null; then
            ENV_FILE="${ENV_FILE%/*}/docker-gpu-env-$ENV_SUM"
        fi
        GPU="$GPU --env-file $ENV_FILE"
        if [ "$MOUNT_HOST_CUDA" = "1" ]; then
            GPU="$GPU -v /usr/local/cuda:/usr/local/cuda:ro"
        fi
        MODELCACHE="${PIPELINE_VOLUME_PATH:-/tmp}/.model_cache"
        mkdir -p "$MODELCACHE"
        GPU="$GPU -v $MODELCACHE:/cache:rw"
    fi
    exec "$REAL_DOCKER" run --network=host --entrypoint "" $GPU "${ARGS[@]}"
elif [ "$1" = "pull" ]; then
    "$REAL_DOCKER" "$@"
    RC=$?
    if [ $RC -eq 137 ]; then
        echo "max depth exceeded: image has too many layers for overlay2 storage driver" >&2
    fi
    exit $RC
else
    exec "$REAL_DOCKER" "$@"
fi
)SCRIPT";

}  // namespace

std::string docker_wrapper_script(const std::string& real_docker) {
  // The path sits inside double quotes; characters that bash would still
  // interpret there are escaped (ordinary paths are unchanged).
  std::string quoted;
  for (char c : real_docker) {
    if (c == '\\' || c == '"' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return "#!/bin/bash\nREAL_DOCKER=\"" + quoted + kWrapperBody;
}

// ------------------------------------------------------------------ tool names

bool is_single_path_component(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// -------------------------------------------------------------- file updates

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the error close(2) gives (a late write failure
  // on network file systems shows up only here).
  int close() {
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_;
};

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string random_suffix() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(gen()));
  return buf;
}

// Creates a fresh file beside `target` with the default creation mode (the
// umask and default ACLs apply as for any new file). Sets errno and returns
// -1 when the directory does not let us create one.
int create_sibling(const std::string& target, std::string& tmp_path) {
  const std::string stem = dir_of(target) + "/." + base_of(target) + ".tmp-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp_path = stem + random_suffix();
    int fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void write_all(int fd, std::string_view data, const std::string& path) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("write", path);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void sync_dir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // best effort: some file systems refuse fsync on directories
    ::close(fd);
  }
}

}  // namespace

void write_file_atomic(const std::string& path, std::string_view data,
                       std::optional<unsigned> mode, bool replace_link) {
  std::string target = path;
  struct stat st {};
  if (!replace_link && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) target = resolved;
  }
  struct stat old {};
  const bool had_old = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  std::string tmp;
  int raw = create_sibling(target, tmp);
  if (raw < 0) {
    int err = errno;
    if (err != EACCES && err != EPERM) throw OsError(err, "open", path);
    // A directory we may not add entries to, holding a file we may write:
    // rewrite the file in place, as a plain open-and-write would.
    Fd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) throw_errno("open", path);
    write_all(fd.get(), data, path);
    if (mode && ::fchmod(fd.get(), *mode) != 0) throw_errno("chmod", path);
    if (::fsync(fd.get()) != 0 && errno != EINVAL) throw_errno("fsync", path);
    if (fd.close() != 0) throw_errno("close", path);
    return;
  }
  Fd fd(raw);
  try {
    write_all(fd.get(), data, path);
    if (mode) {
      if (::fchmod(fd.get(), *mode) != 0) throw_errno("chmod", path);
    } else if (had_old) {
      if (::fchmod(fd.get(), old.st_mode & 07777) != 0) throw_errno("chmod", path);
      if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
          ::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
        // Not ours to give away: the file stays the writer's own.
      }
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL) throw_errno("fsync", path);
    if (fd.close() != 0) throw_errno("close", path);
    if (::rename(tmp.c_str(), target.c_str()) != 0) throw_errno("rename", path);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  sync_dir(dir_of(target));
}

void publish_file(const std::string& tmp, const std::string& dst) {
  {
    Fd fd(::open(tmp.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw_errno("open", tmp);
    if (::fsync(fd.get()) != 0 && errno != EINVAL) throw_errno("fsync", tmp);
  }
  if (::rename(tmp.c_str(), dst.c_str()) != 0) throw_errno("rename", tmp, dst);
  sync_dir(dir_of(dst));
}

void move_file(const std::string& src, const std::string& dst) {
  if (::rename(src.c_str(), dst.c_str()) == 0) {
    sync_dir(dir_of(dst));
    return;
  }
  if (errno != EXDEV) throw_errno("rename", src, dst);

  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw_errno("open", src);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) throw_errno("stat", src);
  std::string tmp;
  Fd out(create_sibling(dst, tmp));
  if (out.get() < 0) throw_errno("open", dst);
  try {
    char buf[1 << 16];
    for (;;) {
      ssize_t n = ::read(in.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_errno("read", src);
      }
      if (n == 0) break;
      write_all(out.get(), std::string_view(buf, static_cast<size_t>(n)), dst);
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) throw_errno("chmod", dst);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (::fsync(out.get()) != 0 && errno != EINVAL) throw_errno("fsync", dst);
    if (out.close() != 0) throw_errno("close", dst);
    if (::rename(tmp.c_str(), dst.c_str()) != 0) throw_errno("rename", tmp, dst);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  sync_dir(dir_of(dst));
  if (::unlink(src.c_str()) != 0) throw_errno("unlink", src);
}

}  // namespace tavro::rivo::prov
