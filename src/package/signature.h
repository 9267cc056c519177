// Where the package part of a signed self-contained patch ends.
//
// Authenticode signing (signtool, osslsigncode) pads a PE file with zero bytes to a multiple
// of 8 and appends a certificate table, which the optional header's security directory (data
// directory entry 4, whose "address" is a file offset) describes. A self-contained patch
// signed after binding therefore has its trailer just before that padding and table.
//
// What this does not do: it checks no signature, looks into no certificate, reads no section
// and follows nothing but the few header fields that lead to entry 4. Each field is read
// through the reader's windows and checked against the file before it is used.
#pragma once

#include <cstdint>

#include "package/window.h"

// The end of the part of the file that may end in a package trailer: where the certificate
// table starts, less the zero bytes (at most 7) before it, when the file is a PE whose security
// directory describes a table ending exactly at the end of the file; otherwise its length.
uint64_t PackagePartEnd(WindowedFile& file);
