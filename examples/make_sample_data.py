"""Writes examples/data/videos.tsv: 3,000 made-up video titles (fixed seed),
one "uuid<TAB>title" line each, the sample data of the demo."""

import random
import uuid
from pathlib import Path

SUBJECTS = """pasta carbonara, sourdough bread, ramen, vegan curry, chocolate cake, pancakes, sushi, tacos,
lasagna, banana bread, guitar chords, piano scales, drum fills, jazz improvisation, violin vibrato,
watercolor painting, portrait drawing, pottery wheel, knitting socks, woodworking joints, bonsai care,
tomato plants, houseplants, composting, beekeeping, chess openings, sudoku tricks, rubik cube,
python decorators, rust lifetimes, javascript closures, linux permissions, git rebase, docker networking,
sql joins, machine learning, neural networks, excel formulas, photography lighting, drone footage,
video editing, marathon training, yoga stretches, kettlebell swings, bouldering technique, surfing basics,
skiing turns, cycling cadence, swimming freestyle, budget travel, tokyo food, iceland roadtrip,
paris museums, camping gear, van life, home renovation, tiling bathrooms, electrical wiring, plumbing leaks,
car maintenance, bicycle repair, budgeting, investing basics, taxes explained, spanish grammar,
japanese kanji, french pronunciation, astronomy, black holes, volcanoes, dinosaurs, ancient rome,
medieval castles, world war history, origami cranes, magic tricks, stand up comedy, podcast setup""".replace("\n", " ")

TEMPLATES = [
    "how to make {s} at home",
    "{s} for beginners",
    "the ultimate guide to {s}",
    "{s} mistakes everyone makes",
    "10 tips for better {s}",
    "{s} explained in 10 minutes",
    "learning {s} in 30 days",
    "advanced {s} techniques",
    "{s} tutorial part {n}",
    "why {s} is harder than you think",
    "my favourite {s} tricks",
    "{s} live stream replay",
    "quick {s} challenge",
    "{s} vs {t}: which is better",
]


def main() -> None:
    rng = random.Random(2026)
    subjects = [s.strip() for s in SUBJECTS.split(",")]
    lines = []
    for _ in range(3000):
        s, t = rng.sample(subjects, 2)
        title = rng.choice(TEMPLATES).format(s=s, t=t, n=rng.randint(1, 12))
        lines.append(f"{uuid.UUID(int=rng.getrandbits(128))}\t{title}")
    out = Path(__file__).with_name("data") / "videos.tsv"
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
