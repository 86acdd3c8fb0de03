package qvstress;

import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import qv.vantrel.quorvane.Quorvane;

/**
 * The first initNative starts the log while other threads edit the filters, whose
 * natives log through the logger that the start replaces. Many JVMs, each with four
 * editing threads hammering the natives around the first initNative: none may crash,
 * hang or draw a -Xcheck:jni warning, and every edit must still be in force afterwards.
 */
public final class LogStartCase {
    private static final int CHILDREN = Support.size(20, 5);
    private static final int EDITORS = 4;

    private LogStartCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("child")) {
            child();
            return;
        }
        Support.watchdog(150, "log start under filter edits");
        List<String> problems = new ArrayList<>();
        for (int n = 0; n < CHILDREN; n++) {
            Support.Child child = Support.runChild(Paths.get("child-" + n), 60, "qvstress.LogStartCase", "child");
            problems.addAll(child.trouble());
            if (child.status() != 0 || !child.output().contains("edits in force")) {
                problems.add("child-" + n + ": exit status " + child.status());
            }
        }
        problems.forEach(System.out::println);
        Support.check(problems.isEmpty(), problems.size() + " of " + CHILDREN + " JVMs misbehaved");
        System.out.println("log start under filter edits: " + CHILDREN + " JVMs, no problem");
    }

    private static void child() throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        CountDownLatch editing = new CountDownLatch(EDITORS);
        List<Thread> editors = new ArrayList<>();
        for (int t = 0; t < EDITORS; t++) {
            String entry = "logstart/" + t + "/";
            Thread editor = new Thread(() -> {
                editing.countDown();
                while (!stop.get()) {
                    Quorvane.addExclude(entry);
                    Quorvane.removeExclude(entry);
                    Quorvane.addInclude(entry);
                }
            }, "editor-" + t);
            editors.add(editor);
            editor.start();
        }
        editing.await();
        Support.check(Quorvane.initNative(), "initNative failed");
        stop.set(true);
        for (Thread editor : editors) {
            editor.join();
        }
        // Each editor's last step added its include: all four are in force.
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        qv.vantrel.quorvane.remapper.Remap.setTransformer((name, bytes) -> Support.classFile(name, true, 0));
        for (int t = 0; t < EDITORS; t++) {
            Class<?> type = Class.forName("logstart." + t + ".Probe", false, loader);
            try {
                type.getField("remapped");
            } catch (NoSuchFieldException e) {
                Support.fail("include logstart/" + t + "/ not in force");
            }
        }
        System.out.println("edits in force");
    }
}
