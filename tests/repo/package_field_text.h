// Every field of a package as one line of text: the form the package-list
// tests compare, and the one the recorded digests were made of (changing it
// means recording them again).
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"

inline std::string dependencyFieldText(const DependencySet& set) {
    std::string text;
    for (const Dependency& d : set) {
        text += " [" + d.m_sName + "|" + std::to_string(d.m_evr.m_nEpoch) + "|" +
                d.m_evr.m_sVersion + "|" + d.m_evr.m_sRelease + "|" + std::to_string(d.m_nFlags) +
                "]";
    }
    return text;
}

inline std::string packageFieldText(const Package& p) {
    return p.m_sName + "|" + p.m_sGroup + "|" + std::to_string(static_cast<uint32_t>(p.m_nType)) +
           "|" + std::to_string(p.m_evr.m_nEpoch) + "|" + p.m_evr.m_sVersion + "|" +
           p.m_evr.m_sRelease + "|" + p.m_sLocation + "|" + p.m_sCacheFile + "|" +
           p.m_checksum.m_sType + "|" + p.m_checksum.m_sValue + "|" +
           std::to_string(p.m_nInstalledSize) + "| requires" +
           dependencyFieldText(p.m_setRequires) + " recommends" +
           dependencyFieldText(p.m_setRecommends) + " provides" +
           dependencyFieldText(p.m_setProvides) + " obsoletes" +
           dependencyFieldText(p.m_setObsoletes);
}
