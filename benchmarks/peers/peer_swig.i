// SWIG peer, generated with -builtin; "kwargs" lets callers name a and b.
%module peer_swig

%{
#include "sample1.h"
%}

%feature("kwargs");

int add(int a, int b);
int sub(int a, int b);
