# The Windows installer (NSIS), written below.
