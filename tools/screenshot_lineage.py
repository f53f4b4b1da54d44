"""The guide's picture of a lineage page: docs/lineage-page.png, from the demo's run.

    make demo && .venv/bin/python tools/screenshot_lineage.py [demo-output]

Serves the demo's store on loopback, logs Debian's headless Chromium in with the demo's key
and saves the lineage page of the applicant the demo audits.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from urllib.parse import urlencode

from selenium import webdriver
from selenium.webdriver.common.by import By

from quorvane.server import create_app, start_server
from quorvane.utilities.persistence import SQLiteStorage

ROOT = Path(__file__).resolve().parents[1]


def main(out: Path) -> None:
    summary = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    key = (out / "api-key.txt").read_text(encoding="utf-8").strip()
    query = urlencode({"key": summary["spotlight"], "output": "score"})
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1200,1000"):
        options.add_argument(argument)
    running = start_server(create_app(SQLiteStorage(str(out / "provenance.db"))))
    driver = webdriver.Chrome(
        service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options
    )
    try:
        driver.get(running.url + "/login")
        driver.find_element(By.ID, "api_key").send_keys(key)
        driver.find_element(By.ID, "login").click()
        driver.get(f"{running.url}/runs/{summary['pipeline_id']}/lineage?{query}")
        height = driver.execute_script(
            "return document.getElementById('lineage').getBoundingClientRect().bottom"
        )
        driver.set_window_size(1200, int(height) + 140)
        driver.save_screenshot(str(ROOT / "docs" / "lineage-page.png"))
    finally:
        driver.quit()
        running.stop()


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output"))
