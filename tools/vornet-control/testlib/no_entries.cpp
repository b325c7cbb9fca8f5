// A library that exports neither a control-panel entry nor a setup procedure.
extern "C" int SomethingElse(void) { return 1; }
