// Images of package lists that must not be used: each is ignored with a
// warning, the list is parsed again with the same result, and a good image
// takes the name (the equivalence of good images is in package_list_test).
#include "repo/package_list_image.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"

namespace {

// Offsets in the header: hashes of the hot and the cold part, version, count
// of texts, file size, counts of hot texts and packages, offset of the cold part.
constexpr size_t kHashAt = 8, kVersionAt = 24, kStringsAt = 28, kSizeAt = 32, kHotAt = 40,
                 kPackagesAt = 44, kColdAt = 60, kHeaderSize = 64;

// Makes the hashes good again after a change, as a writer would have.
void setHashes(std::string& image) {
    uint32_t coldAt;
    std::memcpy(&coldAt, &image[kColdAt], sizeof(coldAt));
    const size_t cold = std::min<size_t>(std::max<size_t>(coldAt, kHeaderSize), image.size());
    const uint64_t body = XXH3_64bits(image.data() + kHeaderSize, cold - kHeaderSize);
    const uint64_t hashes[2] = {
        XXH3_64bits_withSeed(image.data() + kVersionAt, kHeaderSize - kVersionAt, body),
        XXH3_64bits(image.data() + cold, image.size() - cold)};
    std::memcpy(&image[kHashAt], hashes, sizeof(hashes));
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
        for (const Package& lazy : packages) {
            const Package p = packages.complete(lazy);
            text += packageToString(p) + " " + p.m_sCacheFile.str() + " " + p.m_sLocation.str() +
                    " " + p.m_checksum.m_sValue.str() + " " +
                    std::to_string(p.m_setRequires.size()) + "\n";
        }
        return text;
    }

    LogCapture log{LogLevel::Debug};
    ScratchDir scratch{"listimage"};
    const std::string image = scratch.file("primary-0.v2.image");
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
        {"hash flipped", [](std::string& i) { i[kHashAt] ^= 0x01; }, key},
        {"the previous version", [](std::string& i) { i[kVersionAt] = 1; }, key},
        {"not an image", [](std::string& i) { i = std::string(64, 'x'); }, key},
        {"bytes after the end, hashes made good",
         [](std::string& i) {
             i += "x";
             const uint64_t size = i.size();
             std::memcpy(&i[kSizeAt], &size, sizeof(size));
             setHashes(i);
         },
         key},
        {"architecture verdict turned, hashes made good",
         [](std::string& i) {
             replaceText(i, std::string("\x01\x06\0\0\0noarch", 11),
                         std::string("\x00\x06\0\0\0noarch", 11));
             setHashes(i);
         },
         key},
        {"no texts, hashes made good",
         [](std::string& i) {
             std::memset(&i[kStringsAt], 0, 4);
             setHashes(i);
         },
         key},
        {"one package more, hashes made good",
         [](std::string& i) {
             ++i[kPackagesAt];
             setHashes(i);
         },
         key},
        {"package count turned, hashes left", [](std::string& i) { i[kPackagesAt] ^= 0x01; }, key},
        {"one hot text less, hashes made good",
         [](std::string& i) {
             --i[kHotAt];
             setHashes(i);
         },
         key},
        {"cold part moved, hashes made good",
         [](std::string& i) {
             i[kColdAt] += 4;
             setHashes(i);
         },
         key},
        {"hot text without its end, hashes made good",
         [](std::string& i) {
             replaceText(i, std::string("\x04libz\0", 6), "\x04libzx");
             setHashes(i);
         },
         key},
        {"cache file of an unknown kind, hashes made good",
         [](std::string& i) {
             replaceText(i, std::string("sha256\x01\0\0\0", 10),
                         std::string("sha256\x07\0\0\0", 10));
             setHashes(i);
         },
         key},
        {"checksum type longer than the image, hashes made good",
         [](std::string& i) {
             replaceText(i, std::string("\x06\0\0\0sha256", 10),
                         std::string("\xff\xff\0\0sha256", 10));
             setHashes(i);
         },
         key},
        {"cold text without its end, hashes made good",
         [](std::string& i) {
             replaceText(i, std::string("\x07/bin/sh\0", 9), "\x07/bin/shx");
             setHashes(i);
         },
         key},
        {"image of another list",
         [&otherImage](std::string& i) { i = readHostFile(otherImage); }, key},
        {"list checksum changed", [](std::string&) {}, otherList},
        {"cache directory changed", [](std::string&) {}, otherDir},
    };
    bool ignored = false;
    unlink(image.c_str());
    const std::string parsed = load(list, key, ignored);
    ASSERT_NE(parsed.find("app-2.0-1 /cache/packages/app-2.0-1.rpm p/app-2.0-1.rpm abc 2"),
              std::string::npos)
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

    // The parts a package keeps in the image are read when it is completed.
    // An image changed under the reader by then fails that with an error and
    // leaves the package without its checksum, which refuses it later.
    writeHostFile(image, good);
    PackageList lazy;
    ASSERT_TRUE(loadPackageList(list, image, key, lazy));
    EXPECT_TRUE(lazy.holdsCacheFile("app-2.0-1.rpm"));
    EXPECT_FALSE(lazy.holdsCacheFile("app-2.0-2.rpm"));
    uint32_t coldAt;
    std::memcpy(&coldAt, &good[kColdAt], sizeof(coldAt));
    const std::string junk(good.size() - coldAt, '\xff');
    const int fd = open(image.c_str(), O_WRONLY);  // not cut: the rest stays mapped
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), coldAt), static_cast<ssize_t>(junk.size()));
    close(fd);
    log.clear();
    const Package app = lazy.complete(*lazy.find("app"));
    EXPECT_EQ(app.m_checksum.m_sValue, "");
    EXPECT_TRUE(log.contains("ERROR: failed reading package app-2.0-1 from its list image"));
}

TEST_F(ListImageTest, NamesOnlyFromHexadecimalDigests) {
    EXPECT_EQ(listImageName(MetadataType::VTXDATA, "00aF"), "vtxdata-00aF.v2.image");
    for (const char* value : {"", "../x", "a/b", "0 1"}) {
        EXPECT_EQ(listImageName(MetadataType::PRIMARY, value), "") << value;
    }
    EXPECT_EQ(listImageName(MetadataType::PRIMARY, std::string(129, 'a')), "");
}

}  // namespace
