// What a line of a log file is: the log header, a data line with its time
// stamp, or neither. Shared by the merge's reader and by the download's
// check that a body reads as a log.
#pragma once
#include <cstddef>
#include <cstdint>

// What a line is: 1 = data line (its time in *pulTime), 2 = header line,
// 0 = neither (skipped). The line is given without its line feed and
// without anything from its first NUL on (LogLineLength). *pbOutOfRange,
// if given, is set to 1 for a data line whose stamp has a field out of
// range (its time is then 0, as for a first field that is no stamp).
int ClassifyLogLine(const char *pLine, std::size_t nLen, std::uint32_t *pulTime,
                    int *pbOutOfRange = nullptr);

// A line's bytes end at its first NUL, as they do for the line held as a C
// string: the length of pLine up to it (nLen when there is none).
std::size_t LogLineLength(const char *pLine, std::size_t nLen);
