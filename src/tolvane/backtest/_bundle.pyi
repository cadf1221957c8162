"""回测基准数据包的下载与铺开。"""

import shutil as shutil
import zipfile as zipfile
import zlib as zlib
from pathlib import Path as Path
from typing import TYPE_CHECKING as TYPE_CHECKING

import httpx as httpx
from tqdm import tqdm as tqdm

from .._http import API_PREFIX as API_PREFIX
from .._http import HttpClient
from ..exceptions import NetworkError as NetworkError
from ..exceptions import TolvaneError as TolvaneError
from ..logger import logger as logger

_BENCHMARK_DATA_PATH: str
_CONTENT_TYPE_ZIP: str
_DOWNLOAD_TIMEOUT: httpx.Timeout
_DOWNLOAD_CHUNK_SIZE: int
_TEMP_DIR_NAME: str
_PART_FILE_NAME: str

def download_benchmark_package(http: HttpClient, store_dir: Path) -> Path: ...
def _stream_download(url: str, dest: Path) -> None: ...
def _extract_zip(archive: Path, store_dir: Path) -> None: ...
def flatten_single_subdir(store_dir: Path) -> None: ...
