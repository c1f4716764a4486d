#include "repo/metadata_type.h"

#include "support/logger.h"

const char* metadataTypeName(MetadataType type) {
    switch (type) {
        case MetadataType::PRIMARY:
            return "primary";
        case MetadataType::VTXDATA:
            return "vtxdata";
        default:
            LOGE("invalid metadata type");
            return nullptr;
    }
}
