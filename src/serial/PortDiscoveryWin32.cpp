#include "serial/PortDiscovery.h"

#include "platform/WindowsApi.h"

#include <algorithm>
#include <optional>

namespace {

constexpr const char* SerialDeviceMapKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Modem class keys of the two registry layouts: the older one names a modem by "model",
// the device class key by "FriendlyName".
constexpr const char* ModemServiceClassKey = "System\\CurrentControlSet\\Services\\Class\\Modem";
constexpr const char* ModemDeviceClassKey =
    "System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";

class TRegKey {
public:
    TRegKey() = default;
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;
    ~TRegKey() {
        if (m_key != nullptr) {
            RegCloseKey(m_key);
        }
    }

    // Reading only: an ordinary user may not open these keys for more. Where even reading
    // is refused, the narrower rights are tried in turn.
    bool Open(const std::string& path) {
        const REGSAM rights[] = {KEY_READ, KEY_READ & ~KEY_NOTIFY, KEY_QUERY_VALUE};
        for (const REGSAM access : rights) {
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &m_key) ==
                ERROR_SUCCESS) {
                return true;
            }
            m_key = nullptr;
        }
        return false;
    }

    // Names of the values, in the registry's order.
    std::vector<std::string> ValueNames() const { return Names(false); }
    // Names of the subkeys, in the registry's order.
    std::vector<std::string> SubkeyNames() const { return Names(true); }

    // The text of a string value, ending at its first NUL; std::nullopt when the value is
    // missing or holds no text (a number, binary data).
    std::optional<std::string> ReadString(const char* name) const {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return std::nullopt;
        }
        // The value may grow between the two calls.
        for (int attempt = 0; attempt < 4; ++attempt) {
            std::string data(size + 1, '\0');
            DWORD got = size;
            const LONG result = RegQueryValueExA(m_key, name, nullptr, &type,
                                                 reinterpret_cast<BYTE*>(data.data()), &got);
            if (result == ERROR_MORE_DATA) {
                size = got;
                continue;
            }
            if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
                return std::nullopt;
            }
            data.resize(std::min<size_t>(got, data.size()));
            const size_t nul = data.find('\0');
            if (nul != std::string::npos) {
                data.resize(nul);
            }
            return data;
        }
        return std::nullopt;
    }

private:
    std::vector<std::string> Names(bool subkeys) const {
        std::vector<std::string> names;
        DWORD maxSubkeyName = 0;
        DWORD maxValueName = 0;
        if (RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, nullptr, &maxSubkeyName, nullptr,
                             nullptr, &maxValueName, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return names;
        }
        std::string buffer((subkeys ? maxSubkeyName : maxValueName) + 1, '\0');
        // Bounded: a key that keeps gaining entries while it is read cannot keep us here.
        for (DWORD index = 0; index < 100000;) {
            auto length = static_cast<DWORD>(buffer.size());
            const LONG result = subkeys ? RegEnumKeyExA(m_key, index, buffer.data(), &length,
                                                        nullptr, nullptr, nullptr, nullptr)
                                        : RegEnumValueA(m_key, index, buffer.data(), &length,
                                                        nullptr, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (result == ERROR_MORE_DATA) {
                buffer.resize(buffer.size() * 2);
                continue;
            }
            if (result == ERROR_SUCCESS) {
                names.emplace_back(buffer.data(), length);
            }
            ++index;
        }
        return names;
    }

    HKEY m_key = nullptr;
};

// Per modem: its name as an item of its own, then the port it is attached to unless listed.
void ListModems(std::vector<std::string>& list, const std::string& classKey,
                const char* nameValue) {
    std::vector<std::string> modems;
    {
        TRegKey key;
        if (!key.Open(classKey)) {
            return;
        }
        modems = key.SubkeyNames();
    }
    for (const std::string& modem : modems) {
        TRegKey key;
        if (!key.Open(classKey + "\\" + modem)) {
            continue;
        }
        AppendModem(list, key.ReadString(nameValue), key.ReadString("AttachedTo"));
    }
}

} // namespace

void ListSerialPorts(std::vector<std::string>& list) {
    TRegKey key;
    if (!key.Open(SerialDeviceMapKey)) {
        return;
    }
    // A value is named after the kernel's device (\Device\Serial0) and holds the port name;
    // some drivers name the value after the port itself.
    std::vector<TDeviceMapValue> values;
    for (std::string& name : key.ValueNames()) {
        std::optional<std::string> data = key.ReadString(name.c_str());
        values.push_back(TDeviceMapValue{std::move(name), std::move(data)});
    }
    AppendDeviceMapPorts(list, values);
}

void ListModemPorts(std::vector<std::string>& list) {
    ListModems(list, ModemServiceClassKey, "model");
    ListModems(list, ModemDeviceClassKey, "FriendlyName");
}
