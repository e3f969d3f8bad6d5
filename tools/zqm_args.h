// Typed command-line arguments of the zqm tool.
//
//   str:TEXT     a ZQ_TString (also any word that is not one of the below)
//   u32:N, N     a ZQ_TUInt32 (a bare decimal number)
//   u16:N        a ZQ_TUInt16
//   bool:true, bool:false, true, false   a ZQ_TBool
//   empty        an empty value
#pragma once

#include <string>

#include "typelib/dodived.h"

// The value a word stands for; throws ZQ_EException for a typed word that
// does not parse ("u16:70000", "bool:maybe").
ZQ_TAny ParseArgument(const std::string& word);

// How long ago a process started, "3d 04:05:06" / "04:05:06".
std::string FormatUptime(long long seconds);
