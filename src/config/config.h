// The run configuration: built-in defaults, the XML defaults and configuration
// files, the proxy file and the command line, in that order of layers.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "support/logger.h"

// How the repository's own server is trusted over https, and what the device
// shows it when it asks for a client certificate. Empty paths: the system's
// default certificate authorities, no client certificate.
struct TlsSettings {
    std::string m_sCaFile;      // PEM, one or more authorities trusted instead of the system's
    bool m_bSystemCa = false;   // with m_sCaFile: the system's authorities as well
    std::string m_sClientCert;  // PEM certificate...
    std::string m_sClientKey;   // ...and its unencrypted PEM key; both or neither
};

struct Repository {
    std::string m_sId;
    std::string m_sName;
    std::string m_sLocation;
    bool m_bEnabled = false;
    bool m_bFromDefaults = false;
    TlsSettings m_tls;
};

struct NetworkSettings {
    std::string m_sProxyServer;
    uint32_t m_nProxyPort = 0;
    bool m_bProxyBypassLocal = true;
    std::string m_sProxyUser;
    std::string m_sProxyPassword;
    std::string m_sUserAgentBase;
    std::string m_sUserAgentProdname;
    // A transfer that receives fewer bytes than this in that many seconds
    // fails as timed out; 0 bytes: no such floor.
    int64_t m_nLowSpeedBytes = 1000;
    int32_t m_nLowSpeedSeconds = 60;
};

class Config {
public:
    // Built-in defaults, including the built-in "local-usb" repository.
    Config();

    // Reads one XML configuration file into this record. In normal mode a
    // successful read is followed by the proxy file.
    bool load(const std::string& path, bool defaultsMode);

    // The repository with exactly this identifier, or null.
    Repository* findRepository(const std::string& id);
    const Repository* findRepository(const std::string& id) const;

    bool m_bQuiet = false;
    bool m_bCacheOnly = false;
    bool m_bCheckOnly = false;
    bool m_bTest = false;
    bool m_bNoPkgSigCheck = false;
    bool m_bNoMdSigCheck = false;
    bool m_bInstall = false;
    bool m_bIgnoreRecommends = false;
    bool m_bNoReboot = false;
    bool m_bCheckDbHeaders = false;
    bool m_bNoCacheClean = false;
    int32_t m_nLockTimeout = 120;
    std::string m_sCacheDir;
    int32_t m_nMaxWaitTime = 600;
    bool m_bBackground = false;
    LogLevel m_nLogLevel = LogLevel::Info;
    bool m_bLogStderr = false;
    bool m_bLogSyslog = false;
    int m_nSyslogFacility;
    std::string m_sProduct;
    std::string m_sReleasePkg;
    std::string m_sFwUpgradePkg;
    std::vector<std::string> m_vRepoRequired;
    std::vector<std::string> m_vPreliminary;
    std::vector<std::string> m_vAddons;
    std::vector<std::string> m_vAddonGroups;
    std::list<Repository> m_lRepositories;
    // Days a repository index's signature may be old; 0: no limit.
    int32_t m_nMaxIndexAgeDays = 0;
    NetworkSettings m_network;
};

// Reads the proxy file into the network settings; never fails the load.
void loadProxyFile(const std::string& path, NetworkSettings& network);
