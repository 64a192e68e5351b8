/* SPDX-License-Identifier: Apache-2.0 */
#include "etcd_cluster.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "files.h"

namespace tvtest {
namespace {

// Ports the kernel finds free, all held at once so that none repeats, then
// let go for etcd to take a moment later.
std::vector<int> free_ports(int n) {
    std::vector<int> fds, ports;
    for (int i = 0; i < n; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("no free port on the loopback address");
        fds.push_back(fd);
        ports.push_back(ntohs(a.sin_port));
    }
    for (int fd : fds) close(fd);
    return ports;
}

void must(int rc, const std::string &what) {
    if (rc != 0) throw std::runtime_error(what + " failed (" + std::to_string(rc) + ")");
}

}  // namespace

EtcdCluster::EtcdCluster(int members) {
    char tmpl[] = "/tmp/etcd-cluster-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    make_certificates();
    std::vector<int> ports = free_ports(2 * members);
    for (int i = 0; i < members; i++)
        members_.push_back({"m" + std::to_string(i), ports[static_cast<std::size_t>(2 * i)],
                            ports[static_cast<std::size_t>(2 * i + 1)], 0});
    for (int i = 0; i < members; i++) start(i, true);
    for (int i = 0; i < members; i++) wait_ready(i);
}

EtcdCluster::~EtcdCluster() {
    for (auto &m : members_)
        if (m.pid > 0) {
            ::kill(m.pid, SIGKILL);
            waitpid(m.pid, nullptr, 0);
        }
    shell("rm -rf '" + dir_ + "'");
}

void EtcdCluster::make_certificates() {
    const std::string d = "'" + dir_ + "'";
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    write_file(dir_ + "/server.ext", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n");
    write_file(dir_ + "/client.ext", "extendedKeyUsage=clientAuth\n");
    must(shell("cd " + d + " && openssl req -x509 " + key +
               " -keyout ca.key -out ca.pem -days 2 -subj /CN=fleet-test-ca 2>/dev/null"),
         "making the test CA");
    must(shell("cd " + d + " && openssl req -x509 " + key +
               " -keyout stranger-ca.key -out stranger-ca.pem -days 2 -subj /CN=other-ca 2>/dev/null"),
         "making a CA nobody trusts");
    must(shell("cd " + d + " && openssl req " + key +
               " -keyout server.key -out server.csr -subj /CN=etcd-member 2>/dev/null && "
               "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
               "-extfile server.ext -out server.pem 2>/dev/null"),
         "making the members' certificate");
}

fleet::EtcdConfig EtcdCluster::client(const std::string &name, std::vector<std::string> endpoints) {
    const std::string base = dir_ + "/client-" + name;
    // One signing at a time: the CA's serial file (ca.srl) is rewritten by
    // each, and tests ask for clients from several threads at once.
    static std::mutex signing;
    const std::lock_guard<std::mutex> one(signing);
    if (!exists(base + ".pem")) {
        const std::string d = "'" + dir_ + "'";
        must(shell("cd " + d + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout client-" +
                   name + ".key -out client-" + name + ".csr -subj /O=fleet-test/OU=" + name +
                   " 2>/dev/null && openssl x509 -req -in client-" + name +
                   ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile client.ext -out client-" + name +
                   ".pem 2>/dev/null"),
             "making a client certificate");
    }
    fleet::EtcdConfig c;
    c.endpoints = endpoints.empty() ? this->endpoints() : std::move(endpoints);
    c.ca_file = ca_file();
    c.cert_file = base + ".pem";
    c.key_file = base + ".key";
    return c;
}

fleet::EtcdConfig EtcdCluster::stranger() {
    const std::string d = "'" + dir_ + "'";
    if (!exists(dir_ + "/stranger.pem"))
        must(shell("cd " + d +
                   " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout stranger.key "
                   "-out stranger.csr -subj /O=fleet-test/OU=operator 2>/dev/null && openssl x509 -req -in stranger.csr "
                   "-CA stranger-ca.pem -CAkey stranger-ca.key -CAcreateserial -days 2 -extfile client.ext "
                   "-out stranger.pem 2>/dev/null"),
             "making a stranger's certificate");
    fleet::EtcdConfig c;
    c.endpoints = endpoints();
    c.ca_file = ca_file();
    c.cert_file = dir_ + "/stranger.pem";
    c.key_file = dir_ + "/stranger.key";
    return c;
}

std::string EtcdCluster::endpoint(int i) const {
    return "https://127.0.0.1:" + std::to_string(members_[static_cast<std::size_t>(i)].client_port);
}

std::vector<std::string> EtcdCluster::endpoints() const {
    std::vector<std::string> out;
    for (int i = 0; i < size(); i++) out.push_back(endpoint(i));
    return out;
}

void EtcdCluster::start(int i, bool fresh) {
    Member &m = members_[static_cast<std::size_t>(i)];
    std::string cluster;
    for (const auto &o : members_)
        cluster += (cluster.empty() ? "" : ",") + o.name + "=https://127.0.0.1:" + std::to_string(o.peer_port);
    const std::string peer = "https://127.0.0.1:" + std::to_string(m.peer_port);
    const std::string client = endpoint(i);
    std::vector<std::string> args = {
        "etcd", "--name", m.name, "--data-dir", dir_ + "/" + m.name,
        "--listen-client-urls", client, "--advertise-client-urls", client,
        "--listen-peer-urls", peer, "--initial-advertise-peer-urls", peer,
        "--initial-cluster", cluster, "--initial-cluster-state", fresh ? "new" : "existing",
        "--initial-cluster-token", "fleet-test",
        "--client-cert-auth", "--trusted-ca-file", ca_file(),
        "--cert-file", dir_ + "/server.pem", "--key-file", dir_ + "/server.key",
        "--peer-client-cert-auth", "--peer-trusted-ca-file", ca_file(),
        "--peer-cert-file", dir_ + "/server.pem", "--peer-key-file", dir_ + "/server.key",
        // Quick elections: a killed member's absence is noticed in a second.
        "--heartbeat-interval", "50", "--election-timeout", "500",
        "--logger", "zap", "--log-outputs", dir_ + "/" + m.name + ".log"};
    // Made before the fork: a restart forks while a watch's thread runs, and
    // the child may only exec.
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvp("etcd", argv.data());
        _exit(127);
    }
    m.pid = pid;
}

void EtcdCluster::wait_ready(int i) {
    fleet::EtcdConfig c = client("probe", {endpoint(i)});
    c.request_timeout_ms = 2000;
    if (!root_password_.empty()) {
        c.user = "root";
        c.password = root_password_;
    }
    fleet::EtcdClient probe(c);
    // Bounded only against a hang: a member answers in about a second.
    for (int tries = 0; tries < 600; tries++) {
        if (probe.get("probe").ok) return;
        int status = 0;
        if (waitpid(members_[static_cast<std::size_t>(i)].pid, &status, WNOHANG) > 0) {
            members_[static_cast<std::size_t>(i)].pid = 0;
            throw std::runtime_error("etcd member " + std::to_string(i) + " exited; its log: " +
                                     read_file(dir_ + "/" + members_[static_cast<std::size_t>(i)].name + ".log"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("etcd member " + std::to_string(i) + " did not answer");
}

void EtcdCluster::kill(int i) {
    Member &m = members_[static_cast<std::size_t>(i)];
    if (m.pid <= 0) return;
    ::kill(m.pid, SIGKILL);
    waitpid(m.pid, nullptr, 0);
    m.pid = 0;
}

void EtcdCluster::restart(int i) {
    kill(i);
    start(i, false);
    wait_ready(i);
}

int EtcdCluster::etcdctl(const std::string &args, std::string *out) {
    std::string cmd = "ETCDCTL_API=3 etcdctl --endpoints=" + endpoint(0);
    for (int i = 1; i < size(); i++) cmd += "," + endpoint(i);
    cmd += " --cacert='" + ca_file() + "' --cert='" + dir_ + "/server.pem' --key='" + dir_ + "/server.key'";
    if (!root_password_.empty()) cmd += " --user=root:'" + root_password_ + "'";
    cmd += " " + args;
    if (out != nullptr) return shell_output(cmd + " 2>&1", *out);
    return shell(cmd + " >/dev/null 2>&1");
}

void EtcdCluster::enable_auth(const std::string &root_password) {
    must(etcdctl("user add root --new-user-password='" + root_password + "'"), "adding etcd's root user");
    etcdctl("role add root");   // may be there already
    must(etcdctl("user grant-role root root"), "making root etcd's root");
    must(etcdctl("auth enable"), "turning etcd's authentication on");
    root_password_ = root_password;
}

void EtcdCluster::compact(std::int64_t revision) {
    must(etcdctl("compaction " + std::to_string(revision)), "compacting etcd");
}

}  // namespace tvtest
