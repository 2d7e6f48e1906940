#!/usr/bin/env python3
"""The splice report in a real browser: headless Chromium shows and prints it.

    browser_report_test.py CASE SEAMLOG_REPORT SEAMLOG_CONVERT SEAMLOG_REPORTGEN SAMPLES_DIR WORK_DIR

CASE is one of
  first_page_screenshot   the first screen of the report, kept as WORK_DIR/first-page.png
  prints_the_figures_on_a4
                          the PDF holds the summary figures, the pass/warn/fail counts and
                          every over-limit fiber, and no page is wider than A4
  prints_1000_records_on_letter
                          a report of 1,000 records prints on a sensible number of Letter
                          pages, every record on them, none wider than the paper
Every case also checks that the document names no address outside itself.
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--hide-scrollbars", "--no-pdf-header-footer",
    # Nothing may be fetched: every host name resolves to nothing.
    "--host-resolver-rules=MAP * ~NOTFOUND",
]
A4_WIDTH_PT = 595.3
LETTER_WIDTH_PT = 612.0

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def chromium(work, *args):
    browser = shutil.which("chromium")
    if browser is None:
        sys.exit("chromium is missing: scripts/setup.sh installs it")
    profile = os.path.join(work, "profile")
    shutil.rmtree(profile, ignore_errors=True)
    result = run([browser, *CHROMIUM_FLAGS, "--user-data-dir=" + profile, *args])
    check(result.returncode == 0, "chromium failed: " + result.stderr[-2000:])


def make_tables(tools, samples, work):
    table = os.path.join(work, "job.csv")
    if os.path.exists(table):  # the converter appends: start from nothing
        os.remove(table)
    for model in ("a", "b", "c"):
        run([tools["convert"], "--model", "MODEL-" + model.upper(),
             os.path.join(samples, "model-%s-report.txt" % model), table])
    return table


def make_report(tools, tables, work, name):
    html = os.path.join(work, name + ".html")
    summary = os.path.join(work, name + ".json")
    result = run([tools["report"], *tables, "-o", html, "--json", summary, "--job", "Ring 4",
                  "--location", "Closure 17", "--operator", "A. Splicer", "--customer", "City Fibre",
                  "--date", "2026-12-08"])
    check(result.returncode == 0, "seamlog-report: " + result.stdout + result.stderr)
    with open(html, encoding="cp1252") as f:
        text = f.read()
    for outside in ("http:", "https:", "//", "url(", "src=", "href=", "@import", "<script", "<link"):
        check(outside not in text, "the report names something outside itself: " + outside)
    with open(summary) as f:
        return html, json.load(f)


def with_paper(html, paper):
    """A copy of the report that asks for one paper size, as a printer set to it would."""
    with open(html, encoding="cp1252") as f:
        text = f.read()
    copy = html.replace(".html", "-" + paper.lower() + ".html")
    with open(copy, "w", encoding="cp1252") as f:
        f.write(text.replace("</head>", "<style>@page{size:%s}</style></head>" % paper, 1))
    return copy


def print_pdf(work, html, name):
    pdf = os.path.join(work, name + ".pdf")
    chromium(work, "--print-to-pdf=" + pdf, "file://" + html)
    check(os.path.exists(pdf), "no PDF was printed")
    return pdf


def pdf_pages(pdf):
    info = run(["pdfinfo", pdf]).stdout
    pages = int(re.search(r"Pages:\s+(\d+)", info).group(1))
    width = float(re.search(r"Page size:\s+([\d.]+) x", info).group(1))
    return pages, width


def check_words_fit(pdf, paper_width):
    boxes = run(["pdftotext", "-bbox", pdf, "-"]).stdout
    widths = [float(w) for w in re.findall(r'<page width="([\d.]+)"', boxes)]
    check(widths and all(abs(w - paper_width) < 1.5 for w in widths),
          "pages are not %.1f pt wide: %s" % (paper_width, sorted(set(widths))))
    right = [float(x) for x in re.findall(r'xMax="([\d.]+)"', boxes)]
    left = [float(x) for x in re.findall(r'xMin="(-?[\d.]+)"', boxes)]
    check(right and max(right) <= paper_width - 20, "text reaches past the page margin: %.1f" % max(right or [0]))
    check(left and min(left) >= 20, "text reaches past the left margin: %.1f" % min(left or [0]))


def text_of(pdf):
    return re.sub(r"[ \t]+", " ", run(["pdftotext", "-layout", pdf, "-"]).stdout)


def first_page_screenshot(tools, samples, work):
    html, _ = make_report(tools, [make_tables(tools, samples, work)], work, "report")
    png = os.path.join(work, "first-page.png")
    if os.path.exists(png):
        os.remove(png)
    chromium(work, "--window-size=794,1123", "--screenshot=" + png, "file://" + html)
    check(os.path.exists(png), "no screenshot")
    with open(png, "rb") as f:
        head = f.read(24)
    check(head[:8] == b"\x89PNG\r\n\x1a\n", "the screenshot is not a PNG")
    width, height = struct.unpack(">II", head[16:24])
    check((width, height) == (794, 1123), "the screenshot is %dx%d" % (width, height))
    colours = run(["identify", "-format", "%k", png]).stdout.strip()
    check(colours.isdigit() and int(colours) > 50, "the screenshot looks blank (%s colours)" % colours)
    print("screenshot:", png)


def prints_the_figures_on_a4(tools, samples, work):
    html, summary = make_report(tools, [make_tables(tools, samples, work)], work, "report")
    pdf = print_pdf(work, with_paper(html, "A4"), "report-a4")
    pages, width = pdf_pages(pdf)
    check(abs(width - A4_WIDTH_PT) < 1.5, "the A4 print is %.1f pt wide" % width)
    check_words_fit(pdf, A4_WIDTH_PT)
    text = text_of(pdf)
    fibers = summary["fibersWithLoss"]

    def share(n):  # as the report shows it: one decimal, halves to even
        return "%.1f" % (round(n * 1000 / fibers) / 10)

    expected = [
        "Splices %d" % summary["splices"],
        "Fibers %d" % summary["fibers"],
        "Mean loss %.3f dB" % summary["meanDb"],
        "Median loss %.3f dB" % summary["medianDb"],
        "Largest loss %.2f dB" % summary["maximumDb"],
        "Pass %d (%s %%)" % (summary["pass"], share(summary["pass"])),
        "Warn %d (%s %%)" % (summary["warn"], share(summary["warn"])),
        "Fail %d (%s %%)" % (summary["fail"], share(summary["fail"])),
        "%d fibers above 0.30 dB" % summary["fail"],
        "Closure 17", "City Fibre", "splicer's estimate",
        "Splice report - Ring 4 - Closure 17",  # the running header
        "page 1 of %d" % pages,
    ]
    for words in expected:
        check(words in text, "the PDF lacks '%s'" % words)
    check(summary["fail"] == 6 and summary["splices"] == 30, "the sample tables changed: %s" % summary)
    # Every over-limit fiber is listed before the table of all splices.
    over_limit = text[text.find("Splices over the limit"):text.find("All splices")]
    for fiber in summary["overLimit"]:
        row = r"\n\s*%s 1 %d [\d.]+ fail .*F1:%d\n" % (re.escape(fiber["record"]), fiber["fiber"], fiber["line"])
        check(re.search(row, over_limit), "the over-limit list lacks record %s fiber %d" %
              (fiber["record"], fiber["fiber"]))


def prints_1000_records_on_letter(tools, samples, work):
    report = os.path.join(work, "thousand.txt")
    table = os.path.join(work, "thousand.csv")
    if os.path.exists(table):
        os.remove(table)
    run([tools["reportgen"], "--model", "MODEL-A", "--records", "1000", "--seed", "18", report])
    run([tools["convert"], report, table])
    html, summary = make_report(tools, [table], work, "thousand")
    check(summary["records"] == 1000, "the table holds %s records" % summary["records"])
    pdf = print_pdf(work, with_paper(html, "letter"), "thousand-letter")
    pages, width = pdf_pages(pdf)
    check(abs(width - LETTER_WIDTH_PT) < 1.5, "the Letter print is %.1f pt wide" % width)
    # About sixty rows a page, and the first pages for the summary and charts.
    check(12 <= pages <= 30, "1,000 records take %d pages" % pages)
    check_words_fit(pdf, LETTER_WIDTH_PT)
    text = text_of(pdf)
    for number in (1, 500, 1000):
        check(re.search(r"\n\s*%d 1 1 " % number, text), "record %d is not printed" % number)
    check(text.count("No. Attempt Fiber") >= pages - 3, "the table's head does not repeat on its pages")
    print("pages for 1,000 records:", pages)


def main():
    case, report, convert, reportgen, samples, work = sys.argv[1:7]
    tools = {"report": report, "convert": convert, "reportgen": reportgen}
    os.makedirs(work, exist_ok=True)
    {"first_page_screenshot": first_page_screenshot,
     "prints_the_figures_on_a4": prints_the_figures_on_a4,
     "prints_1000_records_on_letter": prints_1000_records_on_letter}[case](tools, samples, os.path.abspath(work))
    if failures:
        sys.exit(1)
    print("every check held")


if __name__ == "__main__":
    main()
