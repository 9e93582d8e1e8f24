/* gcc's -fsanitize-coverage=trace-cmp also traces floating-point
   comparisons, which libFuzzer does not implement; these empty hooks
   satisfy the loader. */
void __sanitizer_cov_trace_cmpf(float a, float b) { (void)a; (void)b; }
void __sanitizer_cov_trace_cmpd(double a, double b) { (void)a; (void)b; }
