#include <windows.h>

#include <stdexcept>

#include "child_process.h"

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    HANDLE in = nullptr;   // the child's standard input
    HANDLE out = nullptr;  // the child's standard output
    bool killed = false;
};

namespace {

// One argument as CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring Widen(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) : mImpl(std::make_unique<Impl>()) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) throw std::runtime_error("cannot find this executable");
    std::wstring commandLine = Quoted(self);
    for (const auto& argument : arguments) commandLine += L" " + Quoted(Widen(argument));

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &mImpl->in, &inherit, 0) || !CreatePipe(&mImpl->out, &childOut, &inherit, 0))
        throw std::runtime_error("CreatePipe");
    SetHandleInformation(mImpl->in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(mImpl->out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) {
        CloseHandle(mImpl->in);
        CloseHandle(mImpl->out);
        throw std::runtime_error("CreateProcessW");
    }
    CloseHandle(process.hThread);
    mImpl->process = process.hProcess;
}

ChildProcess::~ChildProcess() {
    Kill();
    Wait();
    CloseHandle(mImpl->in);
    CloseHandle(mImpl->out);
    CloseHandle(mImpl->process);
}

bool ChildProcess::ReadLine(std::string& line) {
    for (;;) {
        const size_t end = mBuffered.find('\n');
        if (end != std::string::npos) {
            line = mBuffered.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            mBuffered.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(mImpl->out, buffer, sizeof buffer, &read, nullptr) || read == 0) return false;
        mBuffered.append(buffer, read);
    }
}

void ChildProcess::WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    DWORD written = 0;
    if (!WriteFile(mImpl->in, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
        written != data.size())
        throw std::runtime_error("cannot write to the child");
}

void ChildProcess::Kill() {
    if (WaitForSingleObject(mImpl->process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(mImpl->process, 255);
        mImpl->killed = true;
    }
}

int ChildProcess::Wait() {
    WaitForSingleObject(mImpl->process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(mImpl->process, &code);
    return mImpl->killed ? -1 : static_cast<int>(code);
}
