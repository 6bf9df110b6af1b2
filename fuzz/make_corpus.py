"""Writes the seed corpus of the decoder's fuzz target, fuzz/corpus/decode/.

Seeds are real saved indexes (built with the builder, in both id modes, the
one-node and empty indexes, the golden file), the same with longer varint
forms and trailing bytes, inconsistent arrays that still load, and one
input for each way loading can fail. Run from the repository root with the
package installed:

    python fuzz/make_corpus.py
"""

import shutil
import sys
import uuid
from pathlib import Path

from tessaloom import PrefixSearch, build_arrays

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
from shapes import ladder  # noqa: E402

OUT = ROOT / "fuzz" / "corpus" / "decode"

ONE_NODE = bytes.fromhex("0100 0100 00 0101000000 00 00 00 0100")


def built(records, top_n=10) -> bytes:
    return PrefixSearch.from_internal_data_v2(*build_arrays(records, top_n)).to_bytes()


def seeds() -> dict[str, bytes]:
    s: dict[str, bytes] = {}
    s["one_node"] = ONE_NODE
    s["one_node_trailing"] = ONE_NODE + b"\xff\xfe\x00\x01"
    s["empty_index"] = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0).to_bytes()
    s["payload_300_70000"] = PrefixSearch.from_internal_data_v2(
        [0], [""], [(300, [0], [70000])], [], [uuid.UUID(int=9).bytes], 10
    ).to_bytes()
    u1, u2 = uuid.UUID(int=1), uuid.UUID(int=2)
    s["three_terms_uuid"] = built([("b", u1, 1), ("ab", u2, 2), ("ac", u1, 3)])
    s["words_int32"] = built(
        [("cat", 1, 2), ("car", 2, 3), ("cart", 1, 1), ("dog", 3, 5), ("dot", 4294967295, 70000)]
    )
    s["unicode_labels"] = built(
        [("café", 7, 1), ("日本語", 8, 300), ("😀x", 9, 2), ("naïve", 7, 65536)], top_n=2
    )
    s["many_videos_cut"] = built([(f"t{i % 7}", i, i + 1) for i in range(300)], top_n=5)
    # Long enough for the bulk check of the payloads: video numbers in one
    # and three bytes, counts in one, three and five. (bulk_long_forms, the
    # same with every seventh payload value in the 3-byte form, is kept by
    # hand.)
    words = [a + b for a in "bcdfgmpstv" for b in ("an", "ir")]
    s["bulk_mixed_forms"] = built([(w, (i * 97) % 600, 1 + (i * 7919) % 90000) for i, w in enumerate(words)], top_n=3)
    # Longer forms than needed: the one-node index with every varint widened.
    s["one_node_long_forms"] = bytes.fromhex(
        "FD0100000000000000 FC00000000 FB0100 00 FB0000 FB0100 01 FC00000000 FB0000 FC00000000"
        " FD0000000000000000 FD0000000000000000 FC00000000 FB0100 00"
    )
    # Inconsistent arrays that load: an edge to a node that does not exist,
    # a range past the edge count, a cycle, unequal payload lists, absent
    # payloads, a video number past the table.
    s["edge_out_of_range"] = bytes.fromhex("0100 0100 01 09 0100 00 00 00 0100")
    s["range_past_edges"] = bytes.fromhex("02 00 05 02 0061 01 01 0100 00 00 00 00 02 0001")
    s["cycle"] = bytes.fromhex("02 00 01 02 0061 02 01 00 02 01000000 01000000 00 00 00 02 0001")
    s["uneven_payload"] = bytes.fromhex("0100 0100 00 01 01 05 02 0708 01 09 00 00 01 01 01 01")
    s["video_past_table"] = bytes.fromhex("0100 0100 00 01 01 05 01 63 01 09 00 01 07 01 01 01")
    # Not a tree, and 2**100 paths: the walk's bound on its work ends it
    # (the second fuzzing run, with longer inputs, grows it).
    s["ladder_100"] = PrefixSearch.from_internal_data_v2(*ladder(100)).to_bytes()
    # One way to fail each, as a starting point for mutations.
    s["err_empty"] = b""
    s["err_len_fe"] = b"\xfe" + ONE_NODE[1:]
    s["err_u32_fd"] = b"\x01\xfd" + ONE_NODE[2:]
    s["err_surrogate"] = bytes.fromhex("0100 01 EDA080")
    s["err_bad_continuation"] = bytes.fromhex("0100 01 C341")
    s["err_tag_2"] = ONE_NODE[:6] + b"\x02" + ONE_NODE[7:]
    s["err_id_mode_2"] = ONE_NODE[:12] + b"\x02" + ONE_NODE[13:]
    s["err_bool_2"] = ONE_NODE[:14] + b"\x02"
    s["err_uuid_short"] = bytes.fromhex("0100 0100 00 0100 01") + bytes(10)
    s["err_huge_length"] = bytes.fromhex("FD000000000000001000000000")[:12]
    return s


def main() -> int:
    # Inputs added by hand (fuzzer finds worth keeping) stay.
    OUT.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        (OUT / name).write_bytes(data)
    shutil.copy(ROOT / "tests" / "data" / "golden_index.bin", OUT / "golden_index")
    print(f"wrote {len(list(OUT.iterdir()))} seeds to {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
