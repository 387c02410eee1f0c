#include "rivo/prov_core.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/random.hpp"

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

// ------------------------------------------------------------ image cache

namespace {

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string archive_temp_path(const std::string& tar) { return tar + "." + tavro::random_hex(6) + ".tmp"; }

bool publish_archive(const std::string& tmp, const std::string& tar) {
  {
    fs::Fd fd(::open(tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) throw OsError(errno, "open", tmp);
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) throw OsError(errno, "fsync", tmp);
  }
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, tar.c_str(), RENAME_NOREPLACE) != 0) {
    int err = errno;
    if (err == EEXIST) {
      ::unlink(tmp.c_str());
      return false;
    }
    // File systems without the flag (NFS among them): check, then rename.
    if (err != EINVAL && err != ENOSYS) throw OsError(err, "rename", tmp, tar);
    struct stat st {};
    if (::lstat(tar.c_str(), &st) == 0) {
      ::unlink(tmp.c_str());
      return false;
    }
    if (::rename(tmp.c_str(), tar.c_str()) != 0) throw OsError(errno, "rename", tmp, tar);
  }
  fs::sync_dir(parent_of(tar));
  return true;
}

std::vector<std::string> remove_stale_archive_temps(const std::string& tar, double max_age) {
  std::vector<std::string> removed;
  const std::string dir = parent_of(tar);
  const std::string stem = tar.substr(tar.rfind('/') + 1) + ".";
  std::vector<fs::DirEntry> entries;
  try {
    entries = fs::list_dir(dir);
  } catch (const std::exception&) {
    return removed;
  }
  const std::time_t now = std::time(nullptr);
  for (const auto& e : entries) {
    const std::string& n = e.name;
    // <tar>.<12 hex>.tmp, and the older fixed name <tar>.tmp
    bool ours = n.size() == stem.size() + 16 && n.compare(0, stem.size(), stem) == 0 &&
                n.compare(n.size() - 4, 4, ".tmp") == 0;
    if (!(ours || n == stem + "tmp") || e.kind != fs::DirEntry::Kind::File) continue;
    std::string path = dir + "/" + n;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || std::difftime(now, st.st_mtime) < max_age) continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  }
  return removed;
}

}  // namespace tavro::rivo::prov
