// A transaction on a connection of the host's: rolled back unless committed, auto-commit
// on again afterwards.
#pragma once

#include "odbc.h"

namespace host {

class Transaction {
 public:
  explicit Transaction(trend::db::Connection& c) : c_(c) { c_.SetAutoCommit(false); }
  void Commit() {
    c_.Commit();
    done_ = true;
  }
  ~Transaction() {
    try {
      if (!done_) c_.Rollback();
      c_.SetAutoCommit(true);
    } catch (...) {
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  trend::db::Connection& c_;
  bool done_ = false;
};

}  // namespace host
