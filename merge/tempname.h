// The name a download is stored under in "<unit>\temp" until its merge is
// done: "mb-NNN.K.tmp", device NNN (three digits at least) and K the first
// number free when it was made. The download writes these names and the
// merge finds its leftovers by them, so both go through here.
#pragma once

// Writes the name (no folder) for device nDevice and number llSeq.
void FormatTempName(char *pszName, unsigned nCap, int nDevice, long long llSeq);

// 1 = pszName is exactly such a name as FormatTempName writes (no sign, no
// blank, no extra zero, nothing after ".tmp"; at most 9 digits for the
// device, 18 for K): *pnDevice and *pllSeq are set. 0 = any other name.
int ParseTempName(const char *pszName, int *pnDevice, long long *pllSeq);
