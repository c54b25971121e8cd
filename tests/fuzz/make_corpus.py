#!/usr/bin/env python3
"""Writes the seeds of the fuzz targets, tests/fuzz/corpus/NAME/seed-*, from
the repository's own formats: what update-repo publishes and signs, what the
updater leaves in a game folder, what a server answers. Inputs that once
broke a target sit beside them under names of their own and are kept.
Compressed objects and deltas are made with the zstd tool.

    tests/fuzz/make_corpus.py
"""

import hashlib
import pathlib
import struct
import subprocess
import tempfile

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

DIGEST_A = hashlib.sha256(b"abc").hexdigest()
DIGEST_B = hashlib.sha256(b"").hexdigest()
# RFC 6979, A.2.5: the P-256 test key, its key id (the first 8 bytes of the
# SHA-256 of X || Y) and its signatures of "sample" and "test".
RFC_KEY = ("60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
           "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299")
RFC_KEY_ID = hashlib.sha256(bytes.fromhex(RFC_KEY)).hexdigest()[:16]
RFC_SAMPLE = ("efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
              "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8")
RFC_TEST = ("f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367"
            "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083")
# The key set of a build with the RFC key alone: SHA-256 of its key id.
RFC_KEY_SET = hashlib.sha256(RFC_KEY_ID.encode()).hexdigest()


def sum_line(text: bytes) -> bytes:
    return b"sum " + hashlib.sha256(text).hexdigest().encode() + b"\n"


def crlf(text: bytes) -> bytes:
    return text.replace(b"\n", b"\r\n")


def index_seeds():
    return {
        "versions": b"3\r\n6\r\n4\r\n8\r\n6\r\n",
        "fields": b'1, 2,"3,5"\r\n  7 ,\t8\t\n"12" junk,13\r',
        "numbers": b"&H1F,&O17,&HFFFF,1.5e2,-4,25e-1,1d3,32767.5,-32768.5\r\n",
        "not_an_index": b"<html><body>portail</body></html>\n",
    }


def list_seeds():
    return {
        "entries": b"data/maps/town.map\r\nreadme.txt\r\nConfig/Client.ini\r\nkestralon.exe\r\n",
        "ansi": b"Donn\xe9es/caf\xe9 au lait.txt\r\n\x80uro.dat\rlast.dat",
        "blank_and_lone_lf": b"   \r\n\r\na\nb\r\n spaced name.dat \r\n",
        "refused": b"../evil\r\nC:evil\r\na//b\r\ndata/\r\n./updater.journal\r\nUPDATER.JOURNAL.\r\n"
                   b"Config\\updater.serial\r\na/.. /b\r\n",
        "long_names": b"d/" + b"n" * 245 + b"\r\n" + b"d/" + b"\xe9" * 130 + b"\r\n" + b"x" * 259 + b"\r\n",
    }


def release_text(channel: bool, patches: bool) -> bytes:
    head = b"kestralon-release 1\nchannel live\n" if channel else b"kestralon-metadata 1\n"
    text = head + b"serial 42\nexpires 2027-01-06T10:00:00Z\nindex " + DIGEST_A.encode() + b" 9\n"
    for version, extra in ((3, patches), (-2, False)):
        line = f"version {version} {DIGEST_A} 3 {DIGEST_B} 0"
        if extra:
            line += f" {DIGEST_A} 120"
        text += line.encode() + b"\n"
    return text


def release_metadata_seeds():
    return {
        "release": release_text(True, True),
        "release_crlf": crlf(release_text(True, False)),
        "first_shape": release_text(False, False),
        "no_versions": b"kestralon-metadata 1\nindex " + DIGEST_A.encode() +
                       b" 0\nexpires 2100-02-28T23:59:59Z\nserial 18446744073709551615\n",
    }


def fresh_metadata_seeds():
    fresh = b"kestralon-fresh 1\nserial 3\nexpires 2027-01-06T10:00:00Z\nrelease " + DIGEST_A.encode() + b" 9\n"
    return {"fresh": fresh, "fresh_crlf": crlf(fresh)}


def version_files_seeds():
    files = (b"kestralon-files 1\nversion -7\n" + DIGEST_A.encode() + b" 3 data/maps/town.map\n" +
             DIGEST_B.encode() + b" 0  leading blank\n" + DIGEST_A.encode() +
             b" 3 Donn\xe9es/caf\xe9 au lait.txt\n")
    return {"files": files, "files_crlf": crlf(files), "none": b"kestralon-files 1\r\nversion 0\r\n"}


def version_patches_seeds():
    patches = (f"kestralon-patches 1\nversion 4\nobject {DIGEST_A} {DIGEST_B} 12\n"
               f"delta {DIGEST_B} {DIGEST_A} {DIGEST_A} 5\n"
               f"delta {DIGEST_A} {DIGEST_B} {DIGEST_B} 7\n").encode()
    return {"patches": patches, "patches_crlf": crlf(patches)}


def pack_index_seeds():
    pack = (f"kestralon-pack 1\nfrom\t3\nto\t6\npart\t{DIGEST_A}\t100\npart\t{DIGEST_B}\t40\n"
            f"delta\t{DIGEST_A}\t900\t0\t0\t60\tdata/a b.bin\nblank\t  \n"
            f"object\t{DIGEST_B}\t70\t0\t60\t40\tdata/c\td.txt\n"
            f"loose\t{DIGEST_A}\t5000000\tbig.pak\nobject\t{DIGEST_A}\t10\t1\t0\t40\te\n").encode()
    ansi = (f"kestralon-pack 1\nfrom\t-2\nto\t0\nblank\t\n"
            f"loose\t{DIGEST_B}\t0\tDonn\xe9es/caf\xe9.txt\n").encode("latin-1")
    return {"pack": pack, "pack_crlf": crlf(pack), "ansi": ansi}


def signature_file_seeds():
    sample = f"{RFC_KEY_ID} {RFC_SAMPLE}\n".encode()
    test = f"{RFC_KEY_ID} {RFC_TEST}\n".encode()
    other = f"0123456789abcdef {RFC_SAMPLE}\n".encode()
    return {
        "sample": b"kestralon-signature 1\n" + sample,
        "both": b"kestralon-signature 1\n" + other + test + sample,
        "crlf": crlf(b"kestralon-signature 1\n" + test),
        "empty": b"kestralon-signature 1\n",
    }


def key_text_seeds():
    other = "ff" + RFC_KEY[2:]
    return {
        "one": RFC_KEY.encode(),
        "two": f" {other} ,\t{RFC_KEY}\n".encode(),
        "capitals_and_repeat": f"{RFC_KEY.upper()},{RFC_KEY}".encode(),
    }


def serial_record_seeds():
    return {
        "build_key_set": f"kestralon-serial 3\n{RFC_KEY_SET} 7 2\n".encode(),
        "greatest": f"kestralon-serial 3\r\n{RFC_KEY_SET} 18446744073709551615 18446744073709551615\r\n".encode(),
        "other_key_set": f"kestralon-serial 3\n{DIGEST_A} 7 0\n".encode(),
        "earlier_shape": f"kestralon-serial 2\n{RFC_KEY_SET} 7\n".encode(),
    }


def journal_body() -> bytes:
    return (b"kestralon-journal 2\nversion 6\n"
            b"move\ta.dat.~upd-0123abcd\ta.dat\ta.dat.~old-0123abcd\n"
            b"move\td/b.dat.~upd-ffff0000\td/b.dat\td/b.dat.~old-ffff0000\n"
            b"move\tDonn\xc3\xa9es/caf\xc3\xa9.txt.~upd-89abcdef\tDonn\xc3\xa9es/caf\xc3\xa9.txt\t"
            b"Donn\xc3\xa9es/caf\xc3\xa9.txt.~old-89abcdef\n")


def journal_seeds():
    body = journal_body()
    return {
        "sealed": body + sum_line(body),
        # The target seals a text that ends a line with its sum.
        "body": body,
        "no_moves": b"kestralon-journal 2\nversion -3\n",
        "crlf_body": crlf(body),
        "removals": b"kestralon-journal 3\nversion 7\nremove\tgone/x.dat\tgone/x.dat.~old-00aa11bb\n"
                    + body[len(b"kestralon-journal 2\nversion 6\n"):],
    }


def staging_record_seeds():
    first = (b"file\ta.dat.~upd-0123abcd\ta.dat\n"
             b"file\td/b.dat.~upd-ffff0000\td/b.dat\n"
             b"valid\ta.dat.~upd-0123abcd\t\"e1\"\t220000\n")
    second = b"gone\td/b.dat.~upd-ffff0000\nvalid\ta.dat.~upd-0123abcd\tMon, 07 Dec 2026 10:00:00 GMT\t-1\n"
    header = b"kestralon-staging 2\n"
    return {
        "sealed": header + first + sum_line(first) + second + sum_line(second),
        # Each line "sum" is made the right sum line by the target.
        "pieces": header + first + b"sum\n" + second + b"sum\n",
        "cut_piece": header + first + b"sum\n" + b"file\tc.dat.~upd-00000000\tc.dat\n",
        "empty": header,
    }


def ini_seeds():
    settings = b"[VERSION]\r\nGame= 11\r\n[UPDATER]\r\nFin=1\r\n"
    return {
        "version": b"VERSION\0Game\0 12\0UPDATER\0Fin\0" + settings,
        "new_key": b"UPDATER\0Fin\00\0VERSION\0Game\0[VERSION]\r\nGame=11\r\n\r\n; comment\r\n[UPDATER]\r\n",
        "new_section": b"VERSION\0Game\0-3\0version\0game\0; only a comment\r\nk=1",
        "quotes_and_case": b"version\0GAME\0\"7\"\0S\0k\0[S]\nk = ' a ' \n[Version]\rgame=\"12\"\r[S]\rk=2",
    }


def http_head_seeds():
    return {
        "partial": b"\x01HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\n"
                   b"Content-Range: bytes 100-199/1000\r\nETag: \"e1\"\r\n",
        "redirect": b"\x01HTTP/1.1 302 Found\r\nLocation: http://host/x\r\nContent-Length: 5\r\n"
                    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n"
                    b"Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\nETag: W/\"w\"\r\n",
        "busy": b"\x00HTTP/1.1 503 Busy\r\nRetry-After: 999999\r\nRetry-After: +soon\r\n"
                b"Content-Length: 12000\r\nContent-Length: 6000\r\n",
        "unsatisfiable": b"\x00HTTP/2 416\r\ncontent-range: bytes */70000\r\nlocation: //host/y\r\n"
                         b"content-encoding: gzip\r\n",
    }


def zstd(arguments, data: bytes) -> bytes:
    """A frame of data made by the zstd tool from a file: it declares the content size."""
    with tempfile.TemporaryDirectory() as folder:
        source = pathlib.Path(folder) / "data"
        source.write_bytes(data)
        return subprocess.run(["zstd", "-q", "-c", *arguments, str(source)], stdout=subprocess.PIPE,
                              check=True).stdout


def words(size: int, seed: int) -> bytes:
    vocabulary = [b"kestralon ", b"mise ", b"jour ", b"fichier ", b"version\r\n", b"carte ", b"\x00\x01\x02 "]
    out = b""
    state = seed
    while len(out) < size:
        state = (state * 1103515245 + 12345) % 2**31
        out += vocabulary[state % len(vocabulary)]
    return out[:size]


def most(limit: int) -> bytes:
    return struct.pack("<I", limit)


def zstd_object_seeds():
    text = words(3000, 1)
    return {
        "text": most(len(text)) + zstd(["-3", "--check"], text),
        "unlimited_zeros": most(0xFFFFFFFF) + zstd(["-19", "--check"], bytes(20000)),
        "no_content_size": most(len(text)) + zstd(["-1", "--check", "--no-content-size"], text),
        "no_checksum": most(len(text)) + zstd(["-3", "--no-check"], text),
        "larger_than_most": most(100) + zstd(["-3", "--check"], text),
        "empty_file": most(0) + zstd(["--check"], b""),
    }


def zstd_delta_seeds():
    old = words(2000, 2)
    new = old[:700] + b"nouvelle carte " + old[900:] + words(300, 3)
    with tempfile.TemporaryDirectory() as folder:
        old_file = pathlib.Path(folder) / "old"
        old_file.write_bytes(old)
        delta = zstd(["-3", "--check", f"--patch-from={old_file}"], new)
        no_size = zstd(["-3", "--check", "--no-content-size", f"--patch-from={old_file}"], new)
    prefix = most(len(new)) + struct.pack("<H", len(old)) + old
    return {
        "delta": prefix + delta,
        "no_content_size": prefix + no_size,
        "from_nothing": most(len(new)) + struct.pack("<H", 0) + zstd(["--check"], new),
    }


def main():
    targets = {name[: -len("_seeds")]: make for name, make in globals().items() if name.endswith("_seeds")}
    for target, make in sorted(targets.items()):
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old_seed in folder.glob("seed-*"):
            old_seed.unlink()
        for name, data in make().items():
            (folder / f"seed-{name}").write_bytes(data)
        print(f"{target}: {len(list(folder.iterdir()))} inputs")


if __name__ == "__main__":
    main()
