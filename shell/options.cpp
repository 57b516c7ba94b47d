// The unattended run's options. Values are plain decimal numbers only: a
// scheduler's "--jobs 3x" is a typo to be told about, not 3.
#include "shell/options.h"

#include <cstring>

#include "log/appstate.h"
#include "util/text.h"

namespace {

// A plain decimal number from nMin to nMax, nothing before or after it.
int ReadNumber(const char *psz, unsigned long nMin, unsigned long nMax, unsigned long *pnValue) {
  if (!psz || !*psz) return 0;
  unsigned long n = 0;
  for (; *psz; psz++) {
    if (*psz < '0' || *psz > '9') return 0;
    n = n * 10 + static_cast<unsigned long>(*psz - '0');
    if (n > nMax) return 0;
  }
  if (n < nMin) return 0;
  *pnValue = n;
  return 1;
}

// The value of option pszName at argv[*pi]: after "=" in the same argument
// or the next argument. Null when this argument is not the option; "" when
// the option has no value.
const char *OptionValue(int argc, char **argv, int *pi, const char *pszName) {
  const char *pszArg = argv[*pi];
  std::size_t nLen = std::strlen(pszName);
  if (std::strncmp(pszArg, pszName, nLen) != 0) return nullptr;
  if (pszArg[nLen] == '=') return pszArg + nLen + 1;
  if (pszArg[nLen] != 0) return nullptr;
  if (*pi + 1 >= argc || !argv[*pi + 1]) return "";
  ++*pi;
  return argv[*pi];
}

}  // namespace

int ParseRunOptions(int argc, char **argv, char *pszErr, unsigned nErrCap) {
  RunOptions = RunOptionValues{1, 0, 0};
  for (int i = 1; i < argc; i++) {
    if (!argv[i]) continue;
    unsigned long n = 0;
    const char *pszValue;
    if ((pszValue = OptionValue(argc, argv, &i, "--jobs"))) {
      if (!ReadNumber(pszValue, 1, kMaxJobs, &n)) {
        FormatString(pszErr, nErrCap, "tandreldl: --jobs takes a number from 1 to %d, not \"%s\"\n",
                     kMaxJobs, pszValue);
        return 0;
      }
      RunOptions.nJobs = static_cast<int>(n);
    } else if ((pszValue = OptionValue(argc, argv, &i, "--unit-time-limit"))) {
      // Up to a week: a bound beyond that is no bound for a nightly run.
      if (!ReadNumber(pszValue, 0, 7UL * 24 * 3600, &n)) {
        FormatString(pszErr, nErrCap,
                     "tandreldl: --unit-time-limit takes seconds from 0 (no limit) to 604800, "
                     "not \"%s\"\n",
                     pszValue);
        return 0;
      }
      RunOptions.nUnitTimeLimitS = static_cast<unsigned>(n);
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      RunOptions.bQuiet = 1;
    }
  }
  return 1;
}
