#include <string>

#include "repo/package_repo.h"
#include "support/logger.h"
#include "support/system.h"

namespace {

// The pseudo-package whose requirements state what an appliance must run
// before it may take the repository's updates.
constexpr const char* kRequirementsPackage = "os-update-requirements";
constexpr const char* kFirmwareCapability = "os-update-requirement/firmware";
constexpr const char* kVersionKey = "VERSION_ID=";

// The firmware version as a capability: "version[-release]" of the running
// firmware, or without version when it is unknown (which meets every
// requirement on the firmware).
Dependency firmwareCapability() {
    Dependency capability = depFromName(kFirmwareCapability);
    std::string version;
    if (!readOsRelease(kVersionKey, version) || version.empty()) {
        LOGW("cannot read current firmware version to check update requirements");
        return capability;
    }
    // A build description such as "4.2.1-123-g1a2b" keeps its version and
    // first release part only.
    size_t first = version.find('-');
    if (first != std::string::npos) {
        size_t second = version.find('-', first + 1);
        if (second != std::string::npos) {
            version.erase(second);
        }
    }
    capability.m_evr = parseEvr(version);
    capability.m_nFlags = RPMSENSE_EQUAL;
    return capability;
}

}  // namespace

DependencySet PackageRepo::updateRequirements() const {
    DependencySet unmet;
    const Package* chosen = nullptr;
    auto range = m_lPackages.equal_range(kRequirementsPackage);
    for (auto it = range.first; it != range.second; ++it) {
        if (chosen == nullptr || compareEvr(it->m_evr, chosen->m_evr) > 0) {
            chosen = &*it;
        }
    }
    if (chosen == nullptr) {
        LOGI("package %s not found in repository, no update requirements to check",
             kRequirementsPackage);
        return unmet;
    }

    Dependency capability = firmwareCapability();
    std::string provides = depToString(capability);
    LOGD("checking update requirements with provides %s", provides.c_str());
    LOGD("using package %s for list of update requirements", packageToString(*chosen).c_str());
    const Package complete = m_lPackages.complete(*chosen);
    for (const Dependency& requirement : complete.m_setRequires) {
        std::string text = depToString(requirement);
        LOGT("checking update requirement %s", text.c_str());
        if (depMatches(capability, requirement)) {
            LOGT("update requirement %s satisfied by %s", text.c_str(), provides.c_str());
        } else {
            LOGD("update requirement %s is unsatisfied", text.c_str());
            unmet.insert(requirement);
        }
    }
    return unmet;
}
