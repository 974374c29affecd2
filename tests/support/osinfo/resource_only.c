/* A DLL that exists only for its version resource. */
int rvq_version_fixture_marker = 1;
