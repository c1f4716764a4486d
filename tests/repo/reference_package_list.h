// The package list reader as it was before the streaming one: each package
// element expanded into a libxml2 tree by the text reader. Kept only as the
// reference the equivalence test compares the streaming reader with.
#pragma once

#include <libxml/tree.h>

#include <string>

#include "repo/package_list.h"

namespace reference {

bool parsePackageListWithTree(const std::string& path, MetadataType type, PackageList& target,
                              const std::string& cacheDir);
PackageParseResult parsePackage(xmlNodePtr element, Package& package, const std::string& cacheDir);
bool parseFormat(xmlNodePtr format, const char* namespaceUri, const char* label, Package& package);
bool parseEntries(xmlNodePtr first, xmlNsPtr ns, DependencySet& set);
bool parseVersion(xmlNodePtr element, Evr& evr);

}  // namespace reference
