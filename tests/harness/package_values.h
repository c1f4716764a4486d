// Compact package-model values for tests: makeDep("foo >= 1:2.0-3"),
// makeDeps({...}), makePackage("foo", "1.0-1"). Header-only; tests using it
// link the resolver library.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include "package/package.h"

// "name" or "name op [epoch:]version[-release]" with op one of < > = <= >=
// (or "?N" for the raw flags N).
inline Dependency makeDep(std::string_view text) {
    Dependency dep;
    size_t space = text.find(' ');
    dep.m_sName = text.substr(0, space);
    if (space == std::string_view::npos) {
        return dep;
    }
    std::string_view rest = text.substr(space + 1);
    size_t space2 = rest.find(' ');
    if (space2 == std::string_view::npos) {
        throw std::invalid_argument("dependency without version: " + std::string(text));
    }
    std::string_view op = rest.substr(0, space2);
    if (op == "<") {
        dep.m_nFlags = RPMSENSE_LESS;
    } else if (op == ">") {
        dep.m_nFlags = RPMSENSE_GREATER;
    } else if (op == "=") {
        dep.m_nFlags = RPMSENSE_EQUAL;
    } else if (op == "<=") {
        dep.m_nFlags = RPMSENSE_LESS | RPMSENSE_EQUAL;
    } else if (op == ">=") {
        dep.m_nFlags = RPMSENSE_GREATER | RPMSENSE_EQUAL;
    } else if (op.size() > 1 && op[0] == '?') {
        dep.m_nFlags = static_cast<uint32_t>(std::stoul(std::string(op.substr(1))));
    } else {
        throw std::invalid_argument("bad operator in " + std::string(text));
    }
    dep.m_evr = parseEvr(rest.substr(space2 + 1));
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
