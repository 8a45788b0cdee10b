/*
 * The boundary between the program and a driver component.
 *
 * A driver component is a shared library exporting one plain C function,
 * OSTREL_ENTRY_NAME, that returns the table below. The component is used as a
 * property bag, as the register driver always was: set input properties, call
 * a method, read output properties. Methods and properties are named; every
 * string crossing this boundary is UTF-8 and NUL-terminated.
 *
 * This header is plain C so that a component need not share our toolkit.
 */
#ifndef OSTREL_ABI_H
#define OSTREL_ABI_H

#ifdef __cplusplus
extern "C" {
#endif

#define OSTREL_ABI_VERSION 1
#define OSTREL_ENTRY_NAME "ostrel_component"

typedef struct OstrelApi {
  int abi_version; /* OSTREL_ABI_VERSION */

  /* A new instance, or NULL with a message written into err (at most errcap
   * bytes, NUL included) when the component cannot start. */
  void *(*create)(char *err, int errcap);
  void (*destroy)(void *self);

  /* Calls a method. Returns the method's result: 0 success, any other value
   * a failure that ResultCode and ResultCodeDescription describe. An unknown
   * method name returns OSTREL_E_UNKNOWN_MEMBER. */
  int (*invoke)(void *self, const char *method);

  /* Property access. Each returns 0, or OSTREL_E_UNKNOWN_MEMBER for a name the
   * component does not know (or of another type). Booleans are integers. Dates
   * are days since 1899-12-30 with the time of day as the fraction. */
  int (*get_int)(void *self, const char *prop, int *value);
  int (*set_int)(void *self, const char *prop, int value);
  int (*get_double)(void *self, const char *prop, double *value);
  int (*set_double)(void *self, const char *prop, double value);
  /* Copies the value (NUL included) into buf when it fits in cap bytes and
   * stores its length without the NUL in *len either way. */
  int (*get_str)(void *self, const char *prop, char *buf, int cap, int *len);
  int (*set_str)(void *self, const char *prop, const char *value);
} OstrelApi;

#define OSTREL_E_UNKNOWN_MEMBER (-100)

typedef const OstrelApi *(*OstrelEntryFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_ABI_H */
