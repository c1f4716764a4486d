// Compact package-model values for tests: makeDep("foo >= 1:2.0-3"),
// makeDeps({...}), makePackage("foo", "1.0-1").
#pragma once

#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include "package/package.h"

// "name" or "name op [epoch:]version[-release]" with op one of < > = <= >=
// (or "?N" for the raw flags N).
inline Dependency makeDep(std::string_view text) {
    static const std::map<std::string_view, uint32_t> kFlags = {
        {"<", RPMSENSE_LESS},
        {">", RPMSENSE_GREATER},
        {"=", RPMSENSE_EQUAL},
        {"<=", RPMSENSE_LESS | RPMSENSE_EQUAL},
        {">=", RPMSENSE_GREATER | RPMSENSE_EQUAL}};
    Dependency dep;
    size_t space = text.find(' ');
    dep.m_sName = text.substr(0, space);
    if (space == std::string_view::npos) {
        return dep;
    }
    const size_t space2 = text.find(' ', space + 1);
    std::string_view op = text.substr(space + 1, space2 - space - 1);
    if (space2 == std::string_view::npos || op.empty() || (kFlags.count(op) == 0 && op[0] != '?')) {
        throw std::invalid_argument("bad dependency: " + std::string(text));
    }
    dep.m_nFlags =
        op[0] == '?' ? static_cast<uint32_t>(std::stoul(std::string(op.substr(1)))) : kFlags.at(op);
    dep.m_evr = parseEvr(text.substr(space2 + 1));
    return dep;
}

inline DependencySet makeDeps(std::initializer_list<std::string_view> deps) {
    DependencySet set;
    for (std::string_view d : deps) {
        set.insert(makeDep(d));
    }
    return set;
}

inline Package makePackage(std::string_view name, std::string_view evr,
                           PackageType type = PackageType::RPM) {
    Package p;
    p.m_sName = name;
    p.m_evr = parseEvr(evr);
    p.m_nType = type;
    return p;
}
