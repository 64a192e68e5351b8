/* SPDX-License-Identifier: Apache-2.0 */
// The key libraries' Status (shared/status.h), with this library's codes
// from vaq_api.h.
#ifndef HXB_VAQ_STATUS_H
#define HXB_VAQ_STATUS_H

#include "hxb/status.h"
#include "vaq/vaq_api.h"

namespace vaq {

using hxb::Fail;
using hxb::Ok;
using hxb::Status;

}  // namespace vaq

#endif
