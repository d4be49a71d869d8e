// The live keys on Windows: the machine's own registry, read as it is.
#include "platform/os/system.h"
#include "platform/ports/registry_live.h"

#include "platform/os/win32.h"

namespace kdx::platform {

bool Live_Values(const char* key, std::vector<Registry_Value>& values) {
    values.clear();
    std::string path(key);
    path = path.substr(path.find('\\') + 1);  // below HKEY_LOCAL_MACHINE
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, win32::Wide(path).c_str(), 0, KEY_READ, &opened) !=
        ERROR_SUCCESS)
        return false;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD name_size = 16384, type = 0, data_size = 0;
        LONG status =
            ::RegEnumValueW(opened, index, name, &name_size, nullptr, &type, nullptr, &data_size);
        if (status != ERROR_SUCCESS) break;
        std::wstring data(data_size / sizeof(wchar_t) + 1, L'\0');
        name_size = 16384;
        status = ::RegEnumValueW(opened, index, name, &name_size, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data.data()), &data_size);
        if (status != ERROR_SUCCESS) break;
        Registry_Value value{win32::Narrow(std::wstring_view(name, name_size)), uint32_t(type), {}};
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            // The view's strings are UTF-8 with their zero byte, as the A functions give them.
            std::wstring text(data.data(), data_size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
            value.Data = win32::Narrow(text) + std::string(1, '\0');
        } else {
            value.Data.assign(reinterpret_cast<const char*>(data.data()), data_size);
        }
        values.push_back(std::move(value));
    }
    ::RegCloseKey(opened);
    return true;
}

std::string Registry_Overlay_Path() {
    std::string data = Environment("LOCALAPPDATA");
    return data.empty() ? std::string() : data + "\\kdx\\registry.reg";
}

}  // namespace kdx::platform
