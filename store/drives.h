// The drive table in the store: HKEY_LOCAL_MACHINE\System\Drives holds one text value per drive,
// named by the lower-case letter, holding an absolute local directory. With no values at all,
// drive c: is <home>/c.
#pragma once

#include <string>

#include "platform/result.h"
#include "platform/volume.h"

namespace qorda::platform {
class Registry;
}

namespace qorda::store {

// Fills `table` from the store (replacing what it held). Values that are not a single letter
// with an absolute directory are skipped. With no values, c: is <home>/c, created
// when missing. A mapped directory need not exist: operations on it fail until it does.
platform::Status load_drive_table(platform::Registry& reg, const std::string& home,
                                  platform::DriveTable& table);

}  // namespace qorda::store
