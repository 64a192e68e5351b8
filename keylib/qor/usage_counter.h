/* SPDX-License-Identifier: Apache-2.0 */
// Encryptions counted per master key in this process, for the audit trail:
// texts under random 96-bit nonces must stay far below 2^32 per key. Counting
// is one relaxed atomic add on a counter the key's cached contexts point to;
// no system call. The counts go to the trail (VaqPrivAuditUsage) at most once
// a minute, from the end of an encryption after its cache use, and when the
// keystore is unloaded.
#ifndef HXB_QOR_USAGE_COUNTER_H
#define HXB_QOR_USAGE_COUNTER_H

#include <atomic>
#include <cstdint>

namespace qor {

// The process's counter of (domain, key id); never freed, so a cached
// pointer to it stays good across cache clears and reloads.
std::atomic<uint64_t> *usage_counter(uint32_t domain, uint32_t keyId);

// Hands the counts not yet written to the trail once a minute has passed
// since the last time; cheap otherwise (a coarse clock read from the vDSO).
void flush_usage_if_due();
// Hands them now (at an unload).
void flush_usage();

}  // namespace qor

#endif
