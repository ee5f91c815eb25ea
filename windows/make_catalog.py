#!/usr/bin/python3
"""Writes the driver package's catalog file, unsigned: a PKCS#7 SignedData whose content is a
certificate trust list (content type 1.3.6.1.4.1.311.10.1) with one entry per file of the
package, as Microsoft's "Catalog Files" pages and the Authenticode PE format describe it. A
signing tool (osslsigncode) signs it afterwards.

Each entry: its tag, the file's hash in upper-case hex as a UTF-16LE string (the tag Windows looks
a file up by); a name-value attribute with the file's name; the member information (the subject
interface package that hashes such a file); and the indirect data with the hash. A PE image is
hashed as Authenticode hashes it: without its checksum, its certificate table entry and the
certificate table itself, so that an embedded signature does not change it; any other file is
hashed whole. SHA-1 throughout: the first x64 Windows (Server 2003 SP1, XP x64) and Vista verify
nothing else for a kernel image.

  make_catalog.py --output Zarq7usb.cat.unsigned --member PATH [--member PATH ...]
  make_catalog.py --list Zarq7usb.cat     prints each entry: name, hash, and the kind of file

Written with asn1crypto (Debian's python3-asn1crypto).
"""
import argparse
import datetime
import hashlib
import os
import pathlib
import struct
import sys

from asn1crypto import algos, cms, core

OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # what a flat file's indirect data names
# Subject interface packages: the PE image one and the flat file one.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_FILE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200
# The name-value attribute's flags: authenticated, its name and value as text.
NAMEVALUE_FLAGS = 0x10010001
OBSOLETE = "<<<Obsolete>>>"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("moniker", core.OctetString, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatalogNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class CatalogMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class AnySet(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnySet)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("subject_identifier", core.OctetString),
               ("subject_attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AlgorithmIdentifier(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


class CertificateTrustList(core.Sequence):
    # version DEFAULT v1 and the optional sequence number, next update and extensions are left
    # out, as they are from a catalog of version 1.
    _fields = [("version", core.Integer, {"optional": True}),
               ("subject_usage", SubjectUsage),
               ("list_identifier", core.OctetString, {"optional": True}),
               ("this_update", core.UTCTime),
               ("subject_algorithm", AlgorithmIdentifier),
               ("trusted_subjects", TrustedSubjects, {"optional": True})]


class CtlContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier),
               ("content", CertificateTrustList, {"explicit": 0})]


def as_any(value):
    return core.Any.load(value.dump())


def pe_hash_ranges(data):
    """The byte ranges of a PE image that Authenticode hashes, or None if data is no PE image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    checksum = optional + 64
    security_entry = directories + 4 * 8
    table, size = struct.unpack_from("<II", data, security_entry)
    end = table if size else len(data)
    return [(0, checksum), (checksum + 4, security_entry), (security_entry + 8, end)]


def file_hash(data):
    """(digest, is a PE image)"""
    ranges = pe_hash_ranges(data)
    digest = hashlib.sha1()
    for start, stop in ranges or [(0, len(data))]:
        digest.update(data[start:stop])
    return digest.digest(), ranges is not None


def member(path):
    data = path.read_bytes()
    digest, is_pe = file_hash(data)
    if is_pe:
        indirect_type = OID_SPC_PE_IMAGE_DATA
        indirect_value = SpcPeImageData({
            "flags": core.BitString(()),
            "file": SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE))})
    else:
        indirect_type = OID_SPC_CAB_DATA
        indirect_value = SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE))
    indirect = SpcIndirectDataContent({
        "data": {"type": indirect_type, "value": as_any(indirect_value)},
        "message_digest": {"digest_algorithm": {"algorithm": "sha1", "parameters": core.Null()},
                           "digest": digest}})
    name = CatalogNameValue({"tag": "File", "flags": NAMEVALUE_FLAGS,
                             "value": (path.name.lower() + "\0").encode("utf-16-le")})
    info = CatalogMemberInfo({"subject_guid": SIP_PE_IMAGE if is_pe else SIP_FLAT_FILE,
                              "cert_version": MEMBER_CERT_VERSION})
    tag = (digest.hex().upper() + "\0").encode("utf-16-le")
    return TrustedSubject({
        "subject_identifier": tag,
        "subject_attributes": [
            {"type": OID_CAT_NAMEVALUE, "values": [as_any(name)]},
            {"type": OID_CAT_MEMBERINFO, "values": [as_any(info)]},
            {"type": OID_SPC_INDIRECT_DATA, "values": [as_any(indirect)]},
        ]})


def catalog(paths, when):
    subjects = [member(path) for path in paths]
    # The list's identifier: the same package gives the same catalog.
    identifier = hashlib.sha1(b"".join(s.dump() for s in subjects)).digest()[:16]
    ctl = CertificateTrustList({
        "subject_usage": [OID_CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": when,
        "subject_algorithm": {"algorithm": OID_CATALOG_LIST_MEMBER, "parameters": core.Null()},
        "trusted_subjects": subjects})
    signed = cms.SignedData({
        "version": "v1",
        "digest_algorithms": [{"algorithm": "sha1", "parameters": core.Null()}],
        "encap_content_info": cms.ContentInfo.load(
            CtlContentInfo({"content_type": OID_CTL, "content": ctl}).dump()),
        "signer_infos": []})
    return cms.ContentInfo({"content_type": "signed_data", "content": signed})


def entries(path):
    """[(name, hex digest, kind)] of a catalog file, signed or not."""
    info = cms.ContentInfo.load(path.read_bytes())
    inner = CtlContentInfo.load(info["content"]["encap_content_info"].dump())
    if inner["content_type"].dotted != OID_CTL:
        raise SystemExit(f"catalog: {path}: content is not a certificate trust list")
    ctl = inner["content"]
    listed = []
    for subject in ctl["trusted_subjects"]:
        name = digest = kind = None
        for attribute in subject["subject_attributes"]:
            value = attribute["values"][0]
            kind_oid = attribute["type"].dotted
            if kind_oid == OID_CAT_NAMEVALUE:
                name = CatalogNameValue.load(value.dump())["value"].native.decode(
                    "utf-16-le").rstrip("\0")
            elif kind_oid == OID_SPC_INDIRECT_DATA:
                indirect = SpcIndirectDataContent.load(value.dump())
                digest = indirect["message_digest"]["digest"].native.hex().upper()
                kind = ("PE image" if indirect["data"]["type"].dotted == OID_SPC_PE_IMAGE_DATA
                        else "flat file")
        tag = subject["subject_identifier"].native.decode("utf-16-le").rstrip("\0")
        if tag != digest:
            raise SystemExit(f"catalog: {path}: entry {name}: tag {tag} is not its hash {digest}")
        listed.append((name, digest, kind))
    return listed


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=pathlib.Path)
    parser.add_argument("--member", type=pathlib.Path, action="append", default=[])
    parser.add_argument("--list", type=pathlib.Path)
    parser.add_argument("--check", type=pathlib.Path, action="append", default=[],
                        help="with --list: a file whose hash the catalog must list under its name")
    args = parser.parse_args()
    if args.list:
        listed = entries(args.list)
        for name, digest, kind in listed:
            print(f"{name}\t{digest}\t{kind}")
        failed = False
        for path in args.check:
            digest = file_hash(path.read_bytes())[0].hex().upper()
            if (path.name.lower(), digest) not in {(name, d) for name, d, _ in listed}:
                print(f"catalog: {path} (SHA-1 {digest}) is not listed with that hash",
                      file=sys.stderr)
                failed = True
            else:
                print(f"{path}: hash {digest} listed")
        return 1 if failed else 0
    if not args.output or not args.member:
        parser.error("--output and at least one --member, or --list")
    # The build's time, or SOURCE_DATE_EPOCH for a reproducible package.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
            else datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
    args.output.write_bytes(catalog(args.member, when).dump())
    return 0


if __name__ == "__main__":
    sys.exit(main())
