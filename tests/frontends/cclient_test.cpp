// Runs the C client (tests/cclient) against the demo recording: natively
// ctest runs it as a test of its own, so this is for the Windows build, where
// the program must be started under wine beside this one.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "fixtures/fixtures.h"
#include "qvtypes.h" // <windows.h>

namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/") + 1);
}

TEST(CClient, CallsBothFamiliesThroughTheLibrary) {
    const std::string sample = FixtureSamplePath("demo_v30.qv");
    std::wstring command = L"\"" + ProgramFolder() + L"qv_c_client.exe\" \"" +
                           std::wstring(sample.begin(), sample.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << "cannot start the C client: " << GetLastError();
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0) << "the C client did not finish";
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(code, 0u) << "the C client reported a failed check (its output is above)";
}

} // namespace

#endif // _WIN32
