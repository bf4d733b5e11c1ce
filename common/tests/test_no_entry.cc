// A shared library that is not a component: it lacks DllGetClassObject.
extern "C" __attribute__((visibility("default"))) int NotAComponent() { return 42; }
