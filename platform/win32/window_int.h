// Inside the Windows window layer: the window properties each dialog made
// from a template carries, for the layer and the look-ups of its test hooks.
// Not for use elsewhere.
#pragma once

// The template's name (the table's own string, which lives as long as the
// program), and the dialog's number in the order the layer made them (a
// later dialog has a higher one).
inline constexpr const char *kPropTemplate = "TandrelTemplate";
inline constexpr const char *kPropSerial = "TandrelSerial";
