#include "rivo/core/docker_wrapper.hpp"

namespace tavro::rivo {

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

}  // namespace tavro::rivo
