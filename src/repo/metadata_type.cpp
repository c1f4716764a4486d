#include "repo/metadata_type.h"

#include "support/logger.h"

const char* metadataTypeName(int type) {
    switch (type) {
        case MD_PRIMARY:
            return "primary";
        case MD_VTXDATA:
            return "vtxdata";
        default:
            LOGE("invalid metadata type");
            return nullptr;
    }
}
