// Test stand-in for the CUDA driver library: devices, contexts and
// page-locked memory on the host. Switches set the driver version, the device
// count, the compute capability, the memory size and single failures; the
// counters let the tests see how the decoder used it.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "fakeapi.h"

namespace {

std::mutex g_lock;
std::map<std::string, long long> g_values; // switches and counters

const std::map<std::string, long long> &Defaults() {
    static const std::map<std::string, long long> defaults = {
        {"driver_version", 11040}, {"device_count", 1},      {"cc_major", 5},
        {"cc_minor", 2},           {"total_mem", 4LL << 30}, {"fail_init", 0},
        {"fail_ctx_create", 0},    {"fail_set_current", 0},  {"fail_alloc_host", 0},
    };
    return defaults;
}

long long Get(const std::string &name) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_values.find(name);
    if (it != g_values.end())
        return it->second;
    auto def = Defaults().find(name);
    return def != Defaults().end() ? def->second : 0;
}

void Add(const std::string &name, long long delta) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values[name] += delta;
}

void Put(const std::string &name, long long value) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values[name] = value;
}

constexpr uint32_t kContextMagic = 0x43545831;
thread_local CUcontext t_current = nullptr;

} // namespace

// The context type the interface leaves opaque.
struct CUctx_st {
    uint32_t dwMagic;
};

FAKE_EXPORT void FakeCuda_Set(const char *name, long long value) {
    Put(name, value);
}

FAKE_EXPORT long long FakeCuda_Get(const char *name) {
    if (std::strcmp(name, "current") == 0)
        return t_current ? 1 : 0;
    return Get(name);
}

FAKE_EXPORT void FakeCuda_Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values.clear();
}

FAKE_EXPORT CUresult QV_CUDAAPI cuInit(unsigned int flags) {
    Add("init_calls", 1);
    return flags == 0 && !Get("fail_init") ? CUDA_SUCCESS : 3;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDriverGetVersion(int *version) {
    *version = int(Get("driver_version"));
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDeviceGetCount(int *count) {
    *count = int(Get("device_count"));
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDeviceGet(CUdevice *device, int ordinal) {
    if (ordinal < 0 || ordinal >= Get("device_count"))
        return 101; // invalid device
    *device = ordinal;
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDeviceComputeCapability(int *major, int *minor, CUdevice) {
    *major = int(Get("cc_major"));
    *minor = int(Get("cc_minor"));
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDeviceTotalMem_v2(size_t *bytes, CUdevice) {
    *bytes = size_t(Get("total_mem"));
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuDeviceGetName(char *name, int length, CUdevice) {
    if (length > 0) {
        std::strncpy(name, "Fake Video Card", size_t(length) - 1);
        name[length - 1] = 0;
    }
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuCtxCreate_v2(CUcontext *context, unsigned int flags, CUdevice device) {
    Add("ctx_create_calls", 1);
    Put("ctx_flags", flags);
    Put("ctx_device", device);
    if (Get("fail_ctx_create"))
        return 2;
    *context = new CUctx_st{kContextMagic};
    Add("ctx_alive", 1);
    t_current = *context; // a new context is current on the creating thread
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuCtxDestroy_v2(CUcontext context) {
    if (!context || context->dwMagic != kContextMagic)
        return 201; // invalid context
    context->dwMagic = 0;
    delete context;
    Add("ctx_alive", -1);
    if (t_current == context)
        t_current = nullptr;
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuCtxSetCurrent(CUcontext context) {
    if (context && (Get("fail_set_current") || context->dwMagic != kContextMagic))
        return 201;
    t_current = context;
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuMemAllocHost_v2(void **pointer, size_t bytes) {
    if (!t_current)
        return 201; // needs a current context
    if (Get("fail_alloc_host"))
        return 2;
    *pointer = std::malloc(bytes ? bytes : 1);
    if (!*pointer)
        return 2;
    Add("host_allocs", 1);
    Add("host_alive", 1);
    Put("host_last_size", (long long)bytes);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuMemFreeHost(void *pointer) {
    if (!t_current)
        return 201;
    std::free(pointer);
    Add("host_alive", -1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuMemcpyDtoH_v2(void *destination, CUdeviceptr source, size_t bytes) {
    if (!t_current)
        return 201;
    // The fake video decoder's surfaces live in host memory.
    std::memcpy(destination, reinterpret_cast<const void *>(uintptr_t(source)), bytes);
    Add("copies", 1);
    return CUDA_SUCCESS;
}
