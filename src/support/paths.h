// Every fixed path of the system, in one place. The tests run the program
// unchanged and redirect these locations with a private mount namespace.
#pragma once

namespace paths {

// Configuration.
constexpr const char* kConfigFile = "/etc/updater.conf";
constexpr const char* kDefaultsFile = "/usr/share/resources/default/updater/defaults.conf";
constexpr const char* kProxyFile = "/etc/network/vtxproxy.conf";
constexpr const char* kCredentialsFile = "/etc/cardela/vtxpasswd.xml";
constexpr const char* kIdentifiersFile = "/etc/vantorix/identifiers";
constexpr const char* kOsRelease = "/etc/os-release";
constexpr const char* kOsReleaseFallback = "/usr/lib/os-release";

// Persistent state.
constexpr const char* kStatusFile = "/var/lib/updater/status";
constexpr const char* kUpdateStateFile = "/var/lib/updater/update-state";
// The signing time and revision of the last index accepted from each repository.
constexpr const char* kIndexRecordFile = "/var/lib/updater/index-record";
// The machine-readable report of the last run, and the short history of runs
// beside it (one report a line, without the package list).
constexpr const char* kRunReportFile = "/var/lib/updater/last-run.json";
constexpr const char* kRunHistoryFile = "/var/lib/updater/run-history.jsonl";
constexpr const char* kLockFile = "/var/lock/updater";
constexpr const char* kNoRunFile = "/var/run/updater.norun";
constexpr const char* kLastLogFile = "/var/log/updater/lastlog";
constexpr const char* kExternalPackagesFile = "/var/run/updater/external.xml";
constexpr const char* kDefaultCacheDir = "/var/cache/updater/";

// USB update sources of the built-in repository.
constexpr const char* kUsbUpdatesDir = "/var/lib/updater/mnt-usb-updates";
constexpr const char* kLegacyUsbUpdatesDir = "/media/usb1/updates";

// Programs run as children.
constexpr const char* kHookScript = "/usr/libexec/updater/hook";
constexpr const char* kDeviceInstaller = "/usr/libexec/vtxpkg/install";
constexpr const char* kRpmProgram = "rpm";
constexpr const char* kGpgvProgram = "gpgv";
constexpr const char* kTelinitProgram = "telinit";
constexpr const char* kShutdownProgram = "shutdown";

// Temporary keyring of the trusted keys while gpgv checks a signature.
constexpr const char* kTempKeyringTemplate = "/tmp/updater.XXXXXX";

// Device and system sources.
constexpr const char* kDevNull = "/dev/null";
constexpr const char* kUrandom = "/dev/urandom";
constexpr const char* kCpuInfo = "/proc/cpuinfo";
constexpr const char* kI2cDriversDir = "/sys/bus/i2c/drivers/";
// EEPROM data files of the default password, in the order they are tried.
constexpr const char* kEepromDataFiles[] = {
    "/sys/bus/i2c/drivers/Halvec-EEPROM/0-0050/data",
    "/sys/bus/i2c/drivers/Halvec-EEPROM/0-0052/data",
    "/sys/bus/i2c/drivers/Halvec-EEPROM/0-0053/data",
    "/sys/bus/i2c/drivers/vtx-eeprom/1-0052/data",
    "/sys/bus/i2c/drivers/vtx-eeprom/1-001e/data",
};

}  // namespace paths
