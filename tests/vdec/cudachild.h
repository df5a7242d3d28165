// The child process of the cross-process hardware decoder test.
#pragma once

constexpr const char *kCudaChildSwitch = "--vdec-cuda-child";

// Arguments: cuda library, cuvid library, speed mapping name, speed mutex
// name, control block name. Opens a hardware decoder, sets control byte 0,
// waits until the parent sets byte 1, destroys the decoder, sets byte 2.
// Returns 0 on success.
int RunCudaChild(int argc, char **argv);

// Starts this program in child mode; false when it cannot be started.
bool StartCudaChild(const char *const *args, int count, void **pProcess);
// Waits for the child started by StartCudaChild; its exit code, or -1.
int WaitCudaChild(void *process);
