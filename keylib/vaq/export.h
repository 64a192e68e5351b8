/* SPDX-License-Identifier: Apache-2.0 */
#ifndef HXB_VAQ_EXPORT_H
#define HXB_VAQ_EXPORT_H

#include "hxb/export.h"

#endif
