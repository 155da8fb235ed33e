/* The public header alone, compiled as C99 and as C++ by test_library. */
#include <zal/zal.h>

int zal_header_alone(void) {
  zal_params p;
  zal_info i;
  zal_trial_fn f = 0;
  zal_default_params(&p);
  i.width = ZAL_VERSION_NUMBER > 0;
  return p.levels + i.width + (f == 0);
}
