// Images of package lists that must not be used: each is ignored with a
// warning, the list is parsed again with the same result, and a good image
// takes the name (the equivalence of good images is in package_list_test).
#include "repo/package_list_image.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <functional>

#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"

namespace {

// Offsets in the header: version, CRC-32 of what follows it, file size,
// counts of texts and packages.
constexpr size_t kVersionAt = 8, kCrcAt = 12, kSizeAt = 16, kStringsAt = 24, kPackagesAt = 28,
                 kHeaderSize = 40;

void setCrc(std::string& image) {
    const auto crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(image.data()) + kSizeAt,
              static_cast<uInt>(image.size() - kSizeAt)));
    std::memcpy(&image[kCrcAt], &crc, sizeof(crc));
}

void replaceText(std::string& image, const std::string& from, const std::string& to) {
    const size_t at = image.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    image.replace(at, from.size(), to);
}

class ListImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    // Packages and messages of one load but those about the image, and
    // whether it ignored the image.
    std::string load(const std::string& list, const ListImageKey& key, bool& ignored) {
        log.clear();
        PackageList packages;
        std::string text = loadPackageList(list, image, key, packages) ? "ok\n" : "failed\n";
        ignored = false;
        for (const std::string& line : log.lines()) {
            if (line.find("list image '" + image + "' (") != std::string::npos) {
                ignored = ignored || line.rfind("WARNING: ignoring ", 0) == 0;
            } else {
                text += line + "\n";
            }
        }
        for (const Package& p : packages) {
            text += packageToString(p) + " " + p.m_sCacheFile.str() + " " +
                    std::to_string(p.m_setRequires.size()) + "\n";
        }
        return text;
    }

    LogCapture log{LogLevel::Debug};
    ScratchDir scratch{"listimage"};
    const std::string image = scratch.file("primary-0.v1.image");
};

TEST_F(ListImageTest, BadImagesAreIgnoredAndWrittenAgain) {
    const std::string list = scratch.file("primary.xml");
    auto package = [](const std::string& name, const std::string& arch, const std::string& body) {
        return "<package type=\"rpm\"><name>" + name + "</name><arch>" + arch +
               "</arch><version epoch=\"0\" ver=\"2.0\" rel=\"1\"/><checksum type=\"sha256\">"
               "abc</checksum><location href=\"p/" + name + "-2.0-1.rpm\"/>" + body + "</package>";
    };
    writeHostFile(list, primaryListXml(package("libz", "noarch", "") +
                                       package("app", "noarch",
                                               "<format><rpm:requires>"
                                               "<rpm:entry name=\"libz\" flags=\"GE\" epoch=\"0\" ver=\"1\"/>"
                                               "<rpm:entry name=\"/bin/sh\"/>"
                                               "</rpm:requires></format>") +
                                       package("arm-only", "armv7hl", "")));
    const ListImageKey key{MetadataType::PRIMARY, "checksum sha256 0", "/cache/packages/"};

    const std::string other = scratch.file("other.xml");
    writeHostFile(other, primaryListXml(package("other", "noarch", "")));
    const std::string otherImage = scratch.file("other.image");
    PackageList scratchList;
    const ListImageKey otherList{MetadataType::PRIMARY, "checksum sha256 1", key.m_sCacheDir};
    ASSERT_TRUE(loadPackageList(other, otherImage, otherList, scratchList));

    struct Case {
        const char* name;
        std::function<void(std::string& image)> damage;  // of the good image's bytes
        ListImageKey key;
    };
    const ListImageKey otherDir{MetadataType::PRIMARY, key.m_sListChecksums, "/elsewhere/"};
    const Case cases[] = {
        {"cut in the body", [](std::string& i) { i.resize(i.size() / 2); }, key},
        {"cut in the header", [](std::string& i) { i.resize(kHeaderSize / 2); }, key},
        {"empty", [](std::string& i) { i.clear(); }, key},
        {"one bit flipped", [](std::string& i) { i[i.size() - 3] ^= 0x10; }, key},
        {"CRC flipped", [](std::string& i) { i[kCrcAt] ^= 0x01; }, key},
        {"other version",
         [](std::string& i) {
             i[kVersionAt] = 2;
         },
         key},
        {"not an image", [](std::string& i) { i = std::string(64, 'x'); }, key},
        {"bytes after the end, CRC made good",
         [](std::string& i) {
             i += "x";
             const uint64_t size = i.size();
             std::memcpy(&i[kSizeAt], &size, sizeof(size));
             setCrc(i);
         },
         key},
        {"architecture verdict turned, CRC made good",
         [](std::string& i) {
             replaceText(i, std::string("\x01\x06\0\0\0noarch", 11),
                         std::string("\x00\x06\0\0\0noarch", 11));
             setCrc(i);
         },
         key},
        {"no texts, CRC made good",
         [](std::string& i) {
             std::memset(&i[kStringsAt], 0, 4);
             setCrc(i);
         },
         key},
        {"one package more, CRC made good",
         [](std::string& i) {
             ++i[kPackagesAt];
             setCrc(i);
         },
         key},
        {"package count turned, CRC left", [](std::string& i) { i[kPackagesAt] ^= 0x01; }, key},
        {"image of another list",
         [&otherImage](std::string& i) { i = readHostFile(otherImage); }, key},
        {"list checksum changed", [](std::string&) {}, otherList},
        {"cache directory changed", [](std::string&) {}, otherDir},
    };
    bool ignored = false;
    unlink(image.c_str());
    const std::string parsed = load(list, key, ignored);
    ASSERT_NE(parsed.find("app-2.0-1 /cache/packages/app-2.0-1.rpm 2"), std::string::npos)
        << parsed;
    ASSERT_NE(parsed.find("WARNING: skipping rpm package"), std::string::npos) << parsed;
    const std::string good = readHostFile(image);
    EXPECT_EQ(load(list, key, ignored), parsed);
    EXPECT_FALSE(ignored);

    for (const Case& c : cases) {
        std::string damaged = good;
        c.damage(damaged);
        writeHostFile(image, damaged);
        std::string expected = parsed;
        if (c.key.m_sCacheDir != key.m_sCacheDir) {
            // The same packages with their files in the other directory.
            for (size_t at; (at = expected.find(key.m_sCacheDir)) != std::string::npos;) {
                expected.replace(at, key.m_sCacheDir.size(), c.key.m_sCacheDir);
            }
        }
        EXPECT_EQ(load(list, c.key, ignored), expected) << c.name;
        EXPECT_TRUE(ignored) << c.name;
        // Written anew: the next load takes it.
        EXPECT_EQ(load(list, c.key, ignored), expected) << c.name;
        EXPECT_FALSE(ignored) << c.name;
    }

    // A link at the image's name is not followed, even to a good image, and
    // is replaced; its target stays as it was.
    const std::string target = scratch.file("target.image");
    writeHostFile(target, good);
    unlink(image.c_str());
    ASSERT_EQ(symlink(target.c_str(), image.c_str()), 0);
    EXPECT_EQ(load(list, key, ignored), parsed);
    EXPECT_TRUE(ignored);
    struct stat st;
    ASSERT_EQ(lstat(image.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readHostFile(target), good);

    // A name that cannot be written leaves the result as it was.
    unlink(image.c_str());
    ASSERT_EQ(mkdir(image.c_str(), 0755), 0);
    EXPECT_EQ(load(list, key, ignored), parsed);
    EXPECT_TRUE(log.contains("WARNING: failed writing list image '" + image + "' ("));
    rmdir(image.c_str());
}

TEST_F(ListImageTest, NamesOnlyFromHexadecimalDigests) {
    EXPECT_EQ(listImageName(MetadataType::VTXDATA, "00aF"), "vtxdata-00aF.v1.image");
    for (const char* value : {"", "../x", "a/b", "0 1"}) {
        EXPECT_EQ(listImageName(MetadataType::PRIMARY, value), "") << value;
    }
    EXPECT_EQ(listImageName(MetadataType::PRIMARY, std::string(129, 'a')), "");
}

}  // namespace
