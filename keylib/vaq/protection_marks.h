/* SPDX-License-Identifier: Apache-2.0 */
// What the secret directory records about a keystore pair's protection, so
// that a protected keystore never goes back to an unprotected (format 1) copy
// that anyone who can write the keystore directory could have made, or that a
// backup from before the move holds:
//
//   NAME.protected  the keystore was moved to a root protector on this node;
//   NAME.moving     a move from format 1 has begun and not reached the disk:
//                   until it does, the unprotected copies are still the
//                   keystore, and a power cut must leave them loadable.
//
// NAME is the node secret's name without ".secret". Both are made like the
// node secret (exclusively, mode 0400, directory synced) in the directory
// that only root and the keystore's owner can write; neither is ever rewritten.
#ifndef HXB_VAQ_PROTECTION_MARKS_H
#define HXB_VAQ_PROTECTION_MARKS_H

#include <string>

#include "host.h"
#include "status.h"

namespace vaq {

class ProtectionMarks {
public:
    ProtectionMarks(const Host &host, const std::string &secretPath);

    // What shows that this keystore is protected on this node, for a line
    // that names it: the node secret or the protected mark; empty when
    // neither exists.
    std::string evidence() const;
    // A move from format 1 that has not reached the disk.
    bool moving() const;

    Status begin_move() const;
    // After the first protected copy is on disk: marks the keystore protected
    // and ends the move. A failure is logged; the load that next finds a
    // protected copy tries again.
    void finish_move() const;
    // finish_move() for a load that finds a protected copy and a move left
    // behind by a power cut; one existence test otherwise.
    void finish_move_left_behind() const;
    bool protected_mark() const { return host_.exists(protectedPath_); }

    // Removes the node secret of a keystore no longer sealed by it. A failure
    // is logged and answered; nothing depends on it.
    Status remove_secret() const;

    const std::string &secret_path() const { return secretPath_; }

private:
    Status create_mark(const std::string &path, uint16_t what) const;

    const Host &host_;
    std::string secretPath_, protectedPath_, movingPath_;
};

}  // namespace vaq

#endif
