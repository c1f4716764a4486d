// The package lists of a repository that the program reads.
#pragma once

enum class MetadataType : int { PRIMARY = 0, VTXDATA = 1 };

// "primary" or "vtxdata"; null (after logging "invalid metadata type") otherwise.
const char* metadataTypeName(MetadataType type);
