// C-linkage declarations of the arithmetic core exported by the shared object.
#ifndef ZELK_SAMPLE1_H
#define ZELK_SAMPLE1_H

#ifdef __cplusplus
extern "C" {
#endif

int add(int a, int b);
int sub(int a, int b);

#ifdef __cplusplus
}
#endif

#endif  // ZELK_SAMPLE1_H
