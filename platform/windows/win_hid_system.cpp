// HID interfaces through SetupAPI and HID.dll.
#include "platform/windows/win_hid_system.h"

#include "platform/windows/win_hid_api.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/backends.h"
#include "platform/windows/win_hid_device.h"
#include "platform/windows/win_text.h"

namespace platform::windows {

namespace {

constexpr char ACCESS_REMEDY[] =
    "Another program (or the system itself, for keyboards and mice) holds the device "
    "exclusively: close programs that use the KIT, then unplug it and plug it in again.";
constexpr char MISSING_REMEDY[] = "The device is no longer present: plug the KIT in again.";
constexpr ULONG INPUT_BUFFERS = 64;

// Why the calling thread's last Open failed.
thread_local HidOpenError t_lastOpenError;

HidOpenError OpenErrorOf(DWORD code) {
    HidOpenError error;
    error.code = static_cast<int>(code);
    error.text = SystemErrorText(code);
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        error.remedy = ACCESS_REMEDY;
    } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_DEVICE_NOT_CONNECTED ||
               code == ERROR_DEVICE_REMOVED) {
        error.remedy = MISSING_REMEDY;
    }
    return error;
}

// The report lengths the device's preparsed data gives; all 0 when it gives none.
HidCaps ReadCaps(HANDLE device) {
    HidCaps caps;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(device, &preparsed)) {
        return caps;
    }
    HIDP_CAPS native{};
    if (HidP_GetCaps(preparsed, &native) == HIDP_STATUS_SUCCESS) {
        caps.inputReportByteLength = native.InputReportByteLength;
        caps.outputReportByteLength = native.OutputReportByteLength;
    }
    HidD_FreePreparsedData(preparsed);
    return caps;
}

// The four hexadecimal digits after `key` in the lower-cased path, or -1.
int HexAfter(const std::string& lowered, const std::string& key) {
    const size_t at = lowered.find(key);
    if (at == std::string::npos || lowered.size() < at + key.size() + 4) {
        return -1;
    }
    int value = 0;
    for (size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
        const char c = lowered[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

bool IdsFromInterfacePath(const std::string& path, uint16_t& vendorId, uint16_t& productId) {
    std::string lowered = path;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const int vendor = HexAfter(lowered, "vid_");
    const int product = HexAfter(lowered, "pid_");
    if (vendor < 0 || product < 0) {
        return false;
    }
    vendorId = static_cast<uint16_t>(vendor);
    productId = static_cast<uint16_t>(product);
    return true;
}

std::vector<std::string> CWinHidSystem::EnumerateInterfaces() {
    std::vector<std::string> paths;
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    const HDEVINFO set =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData)) {
            break;  // ERROR_NO_MORE_ITEMS past the last
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        // The detail record ends in a path of variable length; DWORD elements keep the record
        // aligned.
        std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr,
                                             nullptr)) {
            paths.push_back(Utf8FromWide(detail->DevicePath));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

bool CWinHidSystem::ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) {
    return IdsFromInterfacePath(path, vendorId, productId);
}

std::unique_ptr<IHidDevice> CWinHidSystem::Open(const std::string& path) {
    t_lastOpenError = {};
    const std::wstring widePath = WideFromUtf8(path);
    if (widePath.empty()) {
        t_lastOpenError = OpenErrorOf(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // Shared, so other programs may hold the interface too; overlapped, so that a waiting read
    // can be ended from another thread and a write can be given a deadline.
    const HANDLE device = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        t_lastOpenError = OpenErrorOf(GetLastError());
        return nullptr;
    }
    // The driver keeps 32 input reports for a handle by default: a board that sends faster
    // than the reader takes loses the oldest. As deep as hidraw's queue on Linux; a driver
    // that refuses keeps its own depth, which still works.
    HidD_SetNumInputBuffers(device, INPUT_BUFFERS);
    return std::make_unique<CWinHidDevice>(device, ReadCaps(device));
}

HidOpenError CWinHidSystem::LastOpenError() const {
    return t_lastOpenError;
}

}  // namespace platform::windows

namespace platform {

std::unique_ptr<IHidSystem> CreateSystemHid() {
    return std::make_unique<windows::CWinHidSystem>();
}

}  // namespace platform
