<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于Tessaline</source>
        <translation>About Tessaline</translation>
    </message>
    <message>
        <source>许可证: GPL-3.0-or-later</source>
        <translation>License: GPL-3.0-or-later</translation>
    </message>
</context>
<context>
    <name>CKorvaneDlg</name>
    <message>
        <source>扫描偏移(字节):</source>
        <translation>Offset (bytes):</translation>
    </message>
    <message>
        <source>扫描大小(字节):</source>
        <translation>Size (bytes):</translation>
    </message>
    <message>
        <source>块大小(字节):</source>
        <translation>Block (bytes):</translation>
    </message>
    <message>
        <source>按字节搜索</source>
        <translation>By byte</translation>
    </message>
    <message>
        <source>按块搜索</source>
        <translation>By block</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>保存路径:</source>
        <translation>Save to:</translation>
    </message>
    <message>
        <source>源文件:</source>
        <translation>File:</translation>
    </message>
    <message>
        <source>镜像文件</source>
        <translation>Image file</translation>
    </message>
    <message>
        <source>磁盘</source>
        <translation>Disk</translation>
    </message>
    <message>
        <source>源设备:</source>
        <translation>Drive:</translation>
    </message>
    <message>
        <source>扫描参数</source>
        <translation>Scan parameters</translation>
    </message>
    <message>
        <source>扫描路径</source>
        <translation>Source and destination</translation>
    </message>
    <message>
        <source>开始时间:</source>
        <translation>From:</translation>
    </message>
    <message>
        <source>结束时间:</source>
        <translation>To:</translation>
    </message>
    <message>
        <source>筛选</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Dates</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>请等待当前线程执行完毕!</source>
        <translation>Please wait until the current job has finished!</translation>
    </message>
    <message>
        <source>请先勾选要保存的录像!</source>
        <translation>Check the recordings to save first!</translation>
    </message>
    <message>
        <source>请先选择保存路径!</source>
        <translation>Choose the folder to save to first!</translation>
    </message>
    <message>
        <source>无法保存到此路径:
%1</source>
        <translation>Cannot save to this folder:
%1</translation>
    </message>
    <message>
        <source>无法启动保存!</source>
        <translation>Cannot start saving!</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>选择全部</source>
        <translation>Select all</translation>
    </message>
    <message>
        <source>取消选择</source>
        <translation>Deselect all</translation>
    </message>
    <message>
        <source>正在停止...</source>
        <translation>Stopping...</translation>
    </message>
    <message>
        <source>按通道显示</source>
        <translation>Show by Channel</translation>
    </message>
    <message>
        <source>详细信息</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>导出视频</source>
        <translation>Export video</translation>
    </message>
    <message>
        <source>报告已生成:
%1
%2</source>
        <translation>Report written:
%1
%2</translation>
    </message>
    <message>
        <source>无法生成报告:
%1</source>
        <translation>The report could not be written:
%1</translation>
    </message>
    <message>
        <source>生成报告</source>
        <translation>Make report</translation>
    </message>
    <message>
        <source>时间轴</source>
        <translation>Timeline</translation>
    </message>
    <message>
        <source>Korvane - 时钟偏差 %1, 时间已校正</source>
        <translation>Korvane - clock offset %1, times corrected</translation>
    </message>
</context>
<context>
    <name>CaseLogs</name>
    <message>
        <source>案件日志未能写入 %1:
%2</source>
        <translation>The case log could not be written to %1:
%2</translation>
    </message>
</context>
<context>
    <name>EndText</name>
    <message>
        <source>保存已停止!</source>
        <translation>Saving stopped!</translation>
    </message>
    <message>
        <source>保存完成!</source>
        <translation>Saving done!</translation>
    </message>
    <message>
        <source>已停止, 未保存</source>
        <translation>stopped, not saved</translation>
    </message>
    <message>
        <source>无法打开源, 未保存任何文件:</source>
        <translation>Cannot open the source; no file was saved:</translation>
    </message>
    <message>
        <source>保存失败, 未保存任何文件:</source>
        <translation>Saving failed; no file was saved:</translation>
    </message>
    <message numerus="yes">
        <source>已保存 %n 个文件, 共 %1 字节, 保存到:
%2</source>
        <translation>
            <numerusform>Saved %n file, %1 bytes, to:
%2</numerusform>
            <numerusform>Saved %n files, %1 bytes in all, to:
%2</numerusform>
        </translation>
    </message>
    <message>
        <source>其中 %1 字节无法读取, 已用零代替 (见 recordings.csv)。</source>
        <translation>Bytes that could not be read, saved as zeros: %1 (see recordings.csv).</translation>
    </message>
    <message numerus="yes">
        <source>%n 个文件保存失败:</source>
        <translation>
            <numerusform>%n file could not be saved:</numerusform>
            <numerusform>%n files could not be saved:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 个文件因停止而未保存。</source>
        <translation>
            <numerusform>%n file was not saved because saving was stopped.</numerusform>
            <numerusform>%n files were not saved because saving was stopped.</numerusform>
        </translation>
    </message>
    <message>
        <source>保存失败!</source>
        <translation>Saving failed!</translation>
    </message>
    <message>
        <source>无法打开源, 未导出任何视频:</source>
        <translation>Cannot open the source; no video was exported:</translation>
    </message>
    <message>
        <source>导出视频失败, 未导出任何文件:</source>
        <translation>Video export failed; no file was exported:</translation>
    </message>
    <message>
        <source>%1 通道 %2</source>
        <translation>%1 channel %2</translation>
    </message>
    <message>
        <source>已停止, 未导出</source>
        <translation>stopped, not exported</translation>
    </message>
    <message>
        <source>导出已停止!</source>
        <translation>Export stopped!</translation>
    </message>
    <message>
        <source>导出完成!</source>
        <translation>Export complete!</translation>
    </message>
    <message>
        <source>已导出 %1 个文件, 共 %2 字节, 导出到:
%3</source>
        <translation>Exported %1 file(s), %2 bytes in all, to:
%3</translation>
    </message>
    <message>
        <source>%1 个文件导出失败:</source>
        <translation>%1 file(s) could not be exported:</translation>
    </message>
    <message>
        <source>没有可导出的视频 (无完整的关键帧):</source>
        <translation>Nothing to export (no complete key frame):</translation>
    </message>
</context>
<context>
    <name>ProgressText</name>
    <message>
        <source>用时 %1</source>
        <translation>took %1</translation>
    </message>
    <message>
        <source>剩余 %1</source>
        <translation>%1 left</translation>
    </message>
</context>
<context>
    <name>ScanForm</name>
    <message>
        <source>参数填写错误!</source>
        <translation>Invalid parameters!</translation>
    </message>
    <message>
        <source>结束日期需要大于开始日期!</source>
        <translation>The end date must be later than the start date!</translation>
    </message>
</context>
<context>
    <name>korvane::gui::DetailsBox</name>
    <message>
        <source>未知</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>无</source>
        <translation>none</translation>
    </message>
    <message>
        <source>通道 %1</source>
        <translation>Channel %1</translation>
    </message>
    <message>
        <source>编码:</source>
        <translation>Codec:</translation>
    </message>
    <message>
        <source>分辨率:</source>
        <translation>Resolution:</translation>
    </message>
    <message>
        <source>帧率:</source>
        <translation>Frame rate:</translation>
    </message>
    <message>
        <source>视频帧:</source>
        <translation>Video frames:</translation>
    </message>
    <message>
        <source>关键帧:</source>
        <translation>Key frames:</translation>
    </message>
    <message>
        <source>音频帧:</source>
        <translation>Audio frames:</translation>
    </message>
    <message>
        <source>辅助帧:</source>
        <translation>Auxiliary frames:</translation>
    </message>
    <message>
        <source>详细信息 - %1</source>
        <translation>Details - %1</translation>
    </message>
    <message>
        <source>文件名:</source>
        <translation>File name:</translation>
    </message>
    <message>
        <source>开始时间:</source>
        <translation>Start time:</translation>
    </message>
    <message>
        <source>结束时间:</source>
        <translation>End time:</translation>
    </message>
    <message>
        <source>通道:</source>
        <translation>Channels:</translation>
    </message>
    <message>
        <source>帧数:</source>
        <translation>Frames:</translation>
    </message>
    <message>
        <source>有效帧:</source>
        <translation>Valid frames:</translation>
    </message>
    <message>
        <source>完整帧:</source>
        <translation>Complete frames:</translation>
    </message>
    <message>
        <source>起始位置:</source>
        <translation>Position:</translation>
    </message>
    <message>
        <source>结束位置:</source>
        <translation>End position:</translation>
    </message>
    <message>
        <source>字节数:</source>
        <translation>Bytes:</translation>
    </message>
    <message>
        <source>无可解码的关键帧</source>
        <translation>No decodable key frame</translation>
    </message>
    <message>
        <source>无法读取此通道的帧: %1</source>
        <translation>Cannot read this channel&apos;s frames: %1</translation>
    </message>
    <message>
        <source>时钟偏差:</source>
        <translation>Clock offset:</translation>
    </message>
    <message>
        <source>记录仪开始时间:</source>
        <translation>Recorder start time:</translation>
    </message>
    <message>
        <source>记录仪结束时间:</source>
        <translation>Recorder end time:</translation>
    </message>
</context>
<context>
    <name>korvane::gui::RecordingModel</name>
    <message>
        <source>文件名</source>
        <translation>File</translation>
    </message>
    <message>
        <source>开始时间</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>结束时间</source>
        <translation>End</translation>
    </message>
    <message>
        <source>位置</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>通道</source>
        <translation>Channel</translation>
    </message>
</context>
<context>
    <name>korvane::gui::TimelineView</name>
    <message>
        <source>通道 %1</source>
        <translation>Channel %1</translation>
    </message>
    <message>
        <source>未知通道</source>
        <translation>Unknown channel</translation>
    </message>
    <message>
        <source>%1
开始时间: %2
结束时间: %3
帧数: %4</source>
        <translation>%1
Start time: %2
End time: %3
Frames: %4</translation>
    </message>
</context>
<context>
    <name>korvane::gui::TimelineWindow</name>
    <message>
        <source>全部显示</source>
        <translation>Show All</translation>
    </message>
    <message>
        <source>滚轮缩放, 拖动平移, Home 键全部显示; 单击录像在列表中选中它</source>
        <translation>Wheel to zoom, drag to pan, Home to show all; click a recording to select it in the list</translation>
    </message>
    <message>
        <source>时间轴</source>
        <translation>Timeline</translation>
    </message>
    <message>
        <source>时间轴 - %1</source>
        <translation>Timeline - %1</translation>
    </message>
</context>
</TS>
