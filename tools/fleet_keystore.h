/* SPDX-License-Identifier: Apache-2.0 */
// The fleet agent's view of the role's keystore on this node, through the
// key library as the tool uses it: imports go through the arrival entry (a
// key deleted here, an unsound key, a join back in time are refused there),
// activation and deletion through the public calls, each followed by a
// notice so that every process of the role follows at once. A failure to
// read or change the keystore is thrown as std::runtime_error: the agent
// then reports nothing it cannot vouch for and tries again.
#ifndef TELMOR_VAQ_TOOL_FLEET_KEYSTORE_H
#define TELMOR_VAQ_TOOL_FLEET_KEYSTORE_H

#include <string>

#include "fleet_agent.h"
#include "session.h"

namespace cli {

class ToolKeystore : public fleet::LocalKeystore {
public:
    explicit ToolKeystore(std::string role);
    ~ToolKeystore() override;
    std::vector<fleet::HeldKey> held() override;
    std::map<std::uint32_t, std::uint32_t> active() override;
    bool import(const fleet::FleetKey &key, std::string &why) override;
    bool activate(std::uint32_t domain, std::uint32_t key_id, std::string &why) override;
    bool remove(std::uint32_t domain, std::uint32_t key_id, std::string &why) override;

private:
    // Each call opens the role's keystore for itself (the import does, in
    // the arrival code): the library is started and finished per change, so
    // a long-running agent always sees what other processes wrote.
    std::vector<KeyInfo> keys();

    std::string role_;
    std::string scratch_;   // a directory of root's (0700) for material on its way into the library
};

}  // namespace cli

#endif
