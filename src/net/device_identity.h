// The device's identity (serial number, hardware revision and model,
// firmware version), read once at start, and its default HTTP credentials:
// the user name from the product name and the hardware revision, the password
// from a digest of data held in the device's EEPROMs. Nothing here fails a
// run: missing pieces mean fewer headers or no default credentials.
#pragma once

#include <cstddef>
#include <string>

class CredentialStore;

enum class HwType : int { UNKNOWN = 0, HALVEC = 1, MIRAVO = 2, OSTRELA = 3, OTHER = 4 };

struct DeviceIdentity {
    std::string m_sSerial;      // "X-vantorix-serial" when set; at most 63 characters
    std::string m_sHwRevision;  // at most 8 characters
    HwType m_hwType = HwType::UNKNOWN;
    std::string m_sFirmwareVersion;  // "X-vantorix-firmware" when set
};

namespace device {

// Length of the default password; every character is one of passwordAlphabet().
constexpr size_t kPasswordLength = 12;
// The 64 characters of the default password.
const char* passwordAlphabet();

// Serial number, hardware revision and type from the processor information;
// the serial number falls back to the identifiers file.
void readHardwareInfo(DeviceIdentity& identity);
// The value of NAME=value in the identifiers file, or empty.
std::string readIdentifier(const std::string& name);
// The operating system's VERSION_ID, or empty.
std::string firmwareVersion();
// "<product>-<revision>", or empty without a revision.
std::string defaultUserName(const DeviceIdentity& identity, const std::string& product);
// The password made from the EEPROM data of the hardware type, or empty.
std::string defaultPassword(HwType hwType);
// Clears the store and adds the default credentials (path "/", any realm).
// False only when one of user name and password could be made but not the other.
bool setupDefaultCredentials(const DeviceIdentity& identity, const std::string& product,
                             CredentialStore& store);

}  // namespace device
