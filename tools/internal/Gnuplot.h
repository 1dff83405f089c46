// Internal to zrperf-report: drawing with gnuplot, with nothing of the data
// ever read as gnuplot commands.
//
// gnuplot expands backquotes (a shell command) and '@' macros in the command
// lines it reads, double-quoted strings included, so text read from a log
// never goes into a command. Every series and every name is a line of a data
// block ("$NAME << MARKER" ... MARKER), whose lines gnuplot stores as they
// are; the script refers to a name as an element of such a block
// ($NAMES[i], in titles and in string expressions), whose value is never
// read as a command either. The picture goes to gnuplot's standard output,
// which is a file descriptor of the caller's, so no path goes into the
// script at all.
//
// Thread-safety: plain functions; RunGnuplot() starts a child process.

#ifndef ZRPERF_TOOLS_INTERNAL_GNUPLOT_H_
#define ZRPERF_TOOLS_INTERNAL_GNUPLOT_H_

#include <string>
#include <vector>

namespace zrreport {

// Appends the data block `name` ("$N") holding `lines` to `script`. Its end
// marker is chosen so that no line starts with it (gnuplot ends a block at
// the first line that starts with the marker). A line should hold no control
// byte (names in ShownName() form, numbers); one that does has each written
// as '?', so that it cannot end the line or the block.
void AppendDataBlock(std::string& script, const std::string& name,
                     const std::vector<std::string>& lines);

// A number for a data block: nine significant figures, or NaN (which gnuplot
// leaves out of a plot) when it is not finite.
std::string DataNumber(double value);

// Runs `gnuplot --default-settings` (no initialisation file) with `script` on
// its standard input and its standard output on `outputFd`. False with
// `error` set (gnuplot missing, killed, or its last message, in ShownName()
// form) unless it exits with status 0.
bool RunGnuplot(const std::string& script, int outputFd, std::string* error);

// RunGnuplot() with gnuplot's standard output read into `out` (an anonymous
// file in between).
bool RunGnuplotToText(const std::string& script, std::string* out, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_GNUPLOT_H_
