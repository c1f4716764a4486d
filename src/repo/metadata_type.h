// The package lists of a repository that the program reads.
#pragma once

enum MetadataType : int { MD_PRIMARY = 0, MD_VTXDATA = 1 };

// "primary" or "vtxdata"; null (after logging "invalid metadata type") otherwise.
const char* metadataTypeName(int type);
