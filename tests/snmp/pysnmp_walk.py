"""Walks a subtree with pysnmp, an SNMP stack independent of Net-SNMP's: getnext or bulk
(get-bulk, 25 repetitions). Prints each name, one a line, without a leading dot; on an error
status (genErr) or no answer says so on standard error and exits 1.

    pysnmp_walk.py PORT OID getnext|bulk
"""
import sys

from pysnmp.hlapi import (CommunityData, ContextData, ObjectIdentity, ObjectType, SnmpEngine,
                          UdpTransportTarget, bulkCmd, nextCmd)


def main():
    port, oid, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    session = (SnmpEngine(), CommunityData("public"),
               UdpTransportTarget(("127.0.0.1", port), timeout=15, retries=0), ContextData())
    start = ObjectType(ObjectIdentity(oid))
    if mode == "getnext":
        answers = nextCmd(*session, start, lexicographicMode=False, lookupMib=False)
    else:
        answers = bulkCmd(*session, 0, 25, start, lexicographicMode=False, lookupMib=False)
    for indication, status, index, variables in answers:
        if indication:
            sys.exit(f"pysnmp {mode}: {indication}")
        if status:
            sys.exit(f"pysnmp {mode}: {status.prettyPrint()} at varbind {index}")
        for name, _ in variables:
            print(name.prettyPrint())


main()
