// A stand-in for the host's privileged driver-install service: owns the request event and the
// shared page, records every request and answers it.
//   fake_install_service.exe RECORD_FILE COUNT [ANSWER]   serve COUNT requests, then exit
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const wchar_t* const kServiceEvent = L"QuemboDriverInstallSrvWnd123";
const wchar_t* const kReplyEvent = L"__Ostrel__mobile__manager__";
const wchar_t* const kMapping = L"__Ostrel__mobile__manager__mapfile";
constexpr DWORD kPage = 4096;

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 1;
    const char* record = argv[1];
    const int count = std::atoi(argv[2]);
    const std::string text = argc > 3 ? argv[3] : "success";
    const std::wstring answer(text.begin(), text.end());

    HANDLE request = CreateEventW(nullptr, FALSE, FALSE, kServiceEvent);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kPage, kMapping);
    if (!request || !mapping)
        return 2;
    wchar_t* page = static_cast<wchar_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kPage));
    if (!page)
        return 2;
    for (int i = 0; i < count; ++i) {
        if (WaitForSingleObject(request, 60000) != WAIT_OBJECT_0)
            return 4;
        std::string text;
        for (DWORD k = 0; k < kPage / 2 && page[k]; ++k)
            text.push_back(page[k] < 0x80 ? static_cast<char>(page[k]) : '?');
        if (FILE* f = std::fopen(record, "ab")) {
            std::fprintf(f, "%s\n---\n", text.c_str());
            std::fclose(f);
        }
        ZeroMemory(page, kPage);
        std::memcpy(page, answer.c_str(), answer.size() * sizeof(wchar_t));
        if (HANDLE reply = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReplyEvent)) {
            SetEvent(reply);
            CloseHandle(reply);
        }
    }
    UnmapViewOfFile(page);
    CloseHandle(mapping);
    CloseHandle(request);
    return 0;
}
