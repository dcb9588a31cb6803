// Tree verifier for tests (see verify.h): the library's verifier
// (btree/verify.h) collecting its findings for gtest.
#include "util/verify.h"

#include <cstring>

#include "btree/verify.h"

namespace orv_test {
namespace {

struct Collector {
  const VerifyOptions &opts;
  VerifyResult &res;
};

int collect_problem(void *ctx, const char *line) {
  auto *c = static_cast<Collector *>(ctx);
  if (c->res.problems.size() >= c->opts.max_problems)
    c->res.dropped++;
  else
    c->res.problems.emplace_back(line);
  return 0;
}

void collect_tree(void *ctx, const char *name, size_t len, const ORV_verify_figures &fig) {
  auto *c = static_cast<Collector *>(ctx);
  c->res.trees[std::string(name, len)] = fig;
}

ORV_cmp_func collect_cmp(void *ctx, const char *name, size_t len, bool dup) {
  auto *c = static_cast<Collector *>(ctx);
  const auto &m = dup ? c->opts.dup_cmp : c->opts.key_cmp;
  auto it = m.find(name ? std::string(name, len) : std::string());
  return it == m.end() ? nullptr : it->second;
}

}  // namespace

std::string VerifyResult::Report() const {
  ORV_verify_summary sum;
  sum.problems = problems.size() + dropped;
  sum.last_pgno = last_pgno;
  sum.reachable_pages = reachable_pages;
  sum.free_pages = free_pages;
  sum.space_checked = space_checked;
  char line[256];
  orv_verify_summary_line(sum, line, sizeof line);
  std::string out = std::string(line) + "\n";
  for (const std::string &p : problems) out += "  " + p + "\n";
  if (dropped) out += "  ... and " + std::to_string(dropped) + " more\n";
  return out;
}

VerifyResult VerifyTxn(ORV_txn *txn, const VerifyOptions &opts) {
  VerifyResult res;
  if (txn == nullptr || txn->mt_env == nullptr) {
    res.problems.emplace_back("no transaction");
    return res;
  }
  Collector c{opts, res};
  ORV_verify_hooks hooks;
  hooks.ctx = &c;
  hooks.problem = collect_problem;
  hooks.tree = collect_tree;
  hooks.cmp = collect_cmp;
  hooks.check_space = opts.check_space;
  ORV_verify_summary sum;
  if (int rc = orv_verify_txn(txn, hooks, &sum); rc != 0)
    res.problems.emplace_back(std::string("verifier stopped: ") + orv_strerror(rc));
  res.last_pgno = sum.last_pgno;
  res.reachable_pages = sum.reachable_pages;
  res.free_pages = sum.free_pages;
  res.space_checked = sum.space_checked;
  return res;
}

::testing::AssertionResult TreeValid(ORV_txn *txn, const VerifyOptions &opts) {
  VerifyResult res = VerifyTxn(txn, opts);
  if (res.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "tree verifier: " << res.Report();
}

::testing::AssertionResult EnvTreesValid(ORV_env *env, const VerifyOptions &opts) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0)
    return ::testing::AssertionFailure() << "orv_txn_begin: " << orv_strerror(rc);
  ::testing::AssertionResult r = TreeValid(txn, opts);
  orv_txn_abort(txn);
  return r;
}

}  // namespace orv_test
