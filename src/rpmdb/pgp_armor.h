// Base64, and the ASCII armor of OpenPGP signature files: the packets a
// detached signature file holds, read as gpgv reads them.
#pragma once

#include <cstddef>
#include <string>

// Decodes one base64 text without line breaks; false for a text of two
// characters or fewer, a decoding error or an empty result.
bool decodeBase64(const char* text, size_t length, std::string& out);

// The packets of a detached signature file: the file itself when its first
// byte is a packet tag, else the "PGP SIGNATURE" armor blocks it holds, one
// after the other (text around them is passed over, as gpgv does). False for
// an armor block of another kind, a header not closed by an empty line, a
// line that is not base64, a CRC that does not match its block, a block
// without end, or no block at all.
bool signatureFilePackets(const std::string& file, std::string& packets);
