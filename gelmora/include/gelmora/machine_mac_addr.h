#pragma once
// One machine identifier for the whole run: the primary Ethernet MAC (12 upper-case hex
// digits), else the hardware serial (DMI, else the machine id), else twelve zeros. The answer
// stays valid for the whole run. When the serial files exist but hold nothing usable the answer
// is the empty text and the next call tries again.
const char* machine_mac_addr();

// Forgets the identifier (tests only; earlier answers then change).
void machine_mac_addr_reset();
