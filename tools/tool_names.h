// Names, paths, time stamps and encode types as the ekisa tool shows and
// checks them. Pure functions: no file system access here.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"

namespace ekisatool {

// Splits a path given on the command line into its components ('/' and, on
// Windows, '\' separate). Refuses absolute and drive-letter paths, "." and
// ".." components and empty components, giving the reason in *why.
bool SplitSourcePath(const std::string& path, std::vector<std::string>* parts, std::string* why);

// Whether a single name may be created as a file or folder inside the output
// folder: not empty, not "." or "..", no separator, colon or control
// character (and on Windows nothing WindowsNameProblem names).
bool IsSafeComponent(const std::string& name, std::string* why);

// Why Windows cannot create a file or folder of this name (a reserved device
// name, one of <>:"|?*, a trailing dot or space), or "" when it can.
std::string WindowsNameProblem(const std::string& name);

// Local names are UTF-8 everywhere (tool_system); archive names are
// Shift-JIS, converted as code page 932 explicitly. ToArchiveName refuses
// names that do not survive the round trip or that would contain a
// separator once stored.
bool ToArchiveName(const std::string& local, std::string* stored, std::string* why);
// Converts free text (a password) to CP932; false when it has no CP932 form.
bool ToArchiveText(const std::string& local, std::string* stored);
// On failure *local holds a printable form with \xNN escapes.
bool FromArchiveName(const std::string& stored, std::string* local);

// Whether a stored (CP932) name holds a '\' or '/' outside double-byte characters.
bool StoredNameHasSeparator(const std::string& stored);

// A NAME given to cat or extract, a path as list shows it ('/' between
// folders; on Windows '\' too), as stored (CP932) components. False, with
// the reason, when it has none or a component has no CP932 form.
bool SplitEntryPath(const std::string& name, std::vector<std::string>* stored, std::string* why);
// Whether the entry at stored path `entry` answers to `wanted`, component by
// component as the archive compares names (ASCII letters in either case, all
// other bytes exactly); with `below`, also every entry inside it.
bool EntryPathMatches(const std::vector<std::string>& entry, const std::vector<std::string>& wanted, bool below);

// Time stamp of a moment given in seconds since 1970-01-01 UTC.
EKISAFileTime TimeFromUnix(int64_t seconds);
// Seconds since 1970-01-01 UTC of a time stamp (the day of week is ignored).
int64_t UnixFromTime(const EKISAFileTime& time);
std::string FormatTime(const EKISAFileTime& time);
// The keyword, or 0xXXXXXXXX for an encode type the archive does not know.
std::string FormatEncodeType(uint32_t encodeType);

// Parses SOURCE_DATE_EPOCH-style text: decimal seconds (a leading '-'
// allowed), nothing else. A number outside 0 to LastEpoch(), the time
// stamps an archive can hold, is out of range.
enum EpochResult { kEpochOk, kEpochNotANumber, kEpochOutOfRange };
EpochResult ParseEpoch(const char* text, int64_t* seconds);
// 65535-12-31 23:59:59 UTC: the time stamp's year is 16 bits.
int64_t LastEpoch();

}  // namespace ekisatool
