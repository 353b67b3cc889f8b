// Work-array layout of DLSODA. The Adams history may run over the matrix
// area, which only BDF uses, and only while the history has at most
// MXORDS + 1 columns.
#include "ode/work_layout.hpp"

#include <algorithm>
#include <climits>

#include "ode/lsoda_state.hpp"

namespace tarnok::ode {

WorkLayout compute_work_layout(int n, int nh, int mxordn, int mxords, int jt, int ml, int mu,
                               int method) noexcept {
  WorkLayout layout;
  const long long rows = nh;
  const long long matrix_length = jt <= 2
                                      ? static_cast<long long>(n) * n + 2
                                      : (2LL * ml + mu + 1) * n + 2;
  const long long bdf_history_end = WORK_HEADER + rows * (mxords + 1);
  layout.matrix_at = clamp_length(bdf_history_end);
  layout.prefix_adams = WORK_HEADER + rows * (mxordn + 1);
  layout.prefix_bdf = bdf_history_end + matrix_length;
  const long long prefix = std::max(layout.prefix_adams, layout.prefix_bdf);
  layout.lenrw = prefix + 3LL * n;
  layout.leniw = WORK_HEADER + static_cast<long long>(n);
  const bool bdf = method == METHOD_BDF;
  layout.prefix_current = bdf ? layout.prefix_bdf : layout.prefix_adams;
  layout.real_need = layout.prefix_current + 3LL * n;
  layout.int_need = bdf ? layout.leniw : WORK_HEADER;
  return layout;
}

int clamp_length(long long length) noexcept {
  return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

}  // namespace tarnok::ode
