// The binder: writes a self-contained patch, the program image followed by a package file
// and the 8-byte trailer that points at it. The package file is appended unchanged, unread.
#pragma once

// True when the output was written completely. On any failure after the output was created,
// the incomplete output is deleted, so a failed bind never leaves a file under that name; an
// output that could not be created (it names an input, say) is never touched.
bool BindPackage(const char* imagePath, const char* packagePath, const char* outputPath);
