/* SPDX-License-Identifier: Apache-2.0 */
// A real etcd cluster for tests: three members (Debian's etcd-server) on the
// loopback address, with mutual TLS between members and to clients, in a
// temporary directory that goes with it. Its ports are ones the kernel
// handed out free just before, so tests running in parallel do not clash.
// Its processes die with the test process (PR_SET_PDEATHSIG).
#ifndef TELMOR_TEST_ETCD_CLUSTER_H
#define TELMOR_TEST_ETCD_CLUSTER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "etcd_client.h"

namespace tvtest {

class EtcdCluster {
public:
    // Makes the certificates and starts every member; throws when the
    // cluster does not come up.
    explicit EtcdCluster(int members = 3);
    ~EtcdCluster();
    EtcdCluster(const EtcdCluster &) = delete;
    EtcdCluster &operator=(const EtcdCluster &) = delete;

    int size() const { return static_cast<int>(members_.size()); }
    std::string endpoint(int i) const;
    std::vector<std::string> endpoints() const;

    // A client configuration with a certificate of the cluster's CA (named
    // `name` in its subject's unit, with no common name: etcd refuses a
    // gateway request whose certificate has one once users are on, since it
    // cannot carry that name through), for the given endpoints (all when
    // empty).
    fleet::EtcdConfig client(const std::string &name = "operator", std::vector<std::string> endpoints = {});
    // A certificate from a CA the cluster does not trust.
    fleet::EtcdConfig stranger();
    std::string ca_file() const { return dir_ + "/ca.pem"; }

    void kill(int i);      // SIGKILL: no goodbye to the others
    void restart(int i);   // with its data; returns once it answers
    bool running(int i) const { return members_[static_cast<std::size_t>(i)].pid > 0; }

    // etcdctl as the cluster's root (after enable_auth: with its password).
    int etcdctl(const std::string &args, std::string *out = nullptr);
    // Adds the root user with this password and turns authentication on.
    void enable_auth(const std::string &root_password);
    void compact(std::int64_t revision);

private:
    struct Member {
        std::string name;
        int client_port = 0;
        int peer_port = 0;
        pid_t pid = 0;
    };
    void make_certificates();
    void start(int i, bool fresh);
    void wait_ready(int i);

    std::string dir_;
    std::vector<Member> members_;
    std::string root_password_;
};

}  // namespace tvtest

#endif
