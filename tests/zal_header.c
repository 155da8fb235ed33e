/* The public header alone, compiled as C99 and as C++ by test_library. */
#include <zal/zal.h>

int zal_header_alone(void) {
  zal_params p;
  zal_trial_fn f = 0;
  zal_default_params(&p);
  return p.levels + (f == 0) + (ZAL_VERSION_NUMBER > 0) + (int)sizeof(zal_info);
}
