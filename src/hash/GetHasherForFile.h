#pragma once

#include <string>

#include "hash/Generator.h"

namespace Ostra {

// A new generator for the file's type, chosen by the case-insensitive
// extension (".mp3", ".m4a"), or null for every other file. The caller owns
// the result.
FileHash::Generator* GetHasherForFile(std::string path);

}  // namespace Ostra
