/* SPDX-License-Identifier: Apache-2.0 */
// A new master key stored inactive in the open Session's keystore, with a
// random id unused in the domain and 32 random bytes: create-key --inactive,
// and fleet rotate before it stages the key in the fleet.
#ifndef TELMOR_VAQ_TOOL_KEY_STAGING_H
#define TELMOR_VAQ_TOOL_KEY_STAGING_H

#include <cstdint>

#include "causes.h"

namespace cli {

uint32_t stage_key(uint32_t domain, const Context &ctx);

}  // namespace cli

#endif
