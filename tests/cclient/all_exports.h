/* The number of exported functions the headers declare that resolve. */
#ifndef QV_ALL_EXPORTS_H
#define QV_ALL_EXPORTS_H
unsigned QvExportedFunctionCount(void);
#endif
