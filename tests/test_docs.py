"""The examples of the documentation run and print what the pages say.

Every ```pycon block of docs/*.md and README.md is a doctest; the blocks of
one page run in order and share their names.
"""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.M | re.S)
PAGES = [page for page in sorted(ROOT.glob("docs/*.md")) + [ROOT / "README.md"]
         if BLOCK.search(page.read_text(encoding="utf-8"))]


# The optional libraries that examples use, by a name that shows the use: a
# page whose examples need one that is missing is skipped whole.
NEEDS = {"kestrune_ccsds": "numpy", "to_pandas": "pandas", "to_arrow": "pyarrow", "load_xtce": "lxml"}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_examples(page):
    blocks = BLOCK.findall(page.read_text(encoding="utf-8"))
    for word, module in NEEDS.items():
        if any(word in block for block in blocks):
            pytest.importorskip(module)
    parser = doctest.DocTestParser()
    test = parser.get_doctest("\n".join(blocks), {}, page.name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples of {page.name} failed"
    assert result.attempted == len(test.examples) > 0
